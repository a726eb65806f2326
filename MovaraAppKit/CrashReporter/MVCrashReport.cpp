#include "MovaraAppKit/CrashReporter/MVCrashReport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <queue>

#include "MovaraAppKit/CrashReporter/MVCrashReporterError.h"
#include "MovaraAppKit/CrashReporter/mvcrash_report.pb-c.h"
#include "Platform/Foundation/Localized.h"
#include "Platform/Foundation/StringUtils.h"

MVCrashReportBinaryImageInfo::MVCrashReportBinaryImageInfo(MVCrashReportProcessorInfoPtr codeType, std::uint64_t base, std::uint64_t size, std::string name, const std::vector<std::uint8_t>* uuid)
    : m_codeType(std::move(codeType)), m_base(base), m_size(size), m_name(std::move(name))
{
    if (!uuid)
        return;
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t b : *uuid) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 0xF]);
    }
    m_uuid = text;
}

const MVCrashReportBinaryImageInfo* MVCrashReport::imageForAddress(std::uint64_t address) const
{
    auto after = std::upper_bound(m_imageRanges.begin(), m_imageRanges.end(), address, [](std::uint64_t a, const ImageRange& r) { return a < r.start; });
    if (after == m_imageRanges.begin())
        return nullptr;
    const ImageRange& range = *std::prev(after);
    return address < range.end ? &m_images[range.image] : nullptr;
}

void MVCrashReport::indexImages()
{
    // Images may overlap in a report made by hand. Sweep the boundaries of all ranges upwards,
    // keeping the images that have begun in a heap by their place in the report: between two
    // neighbouring boundaries the same images hold every address, and the first of them that
    // has not ended yet is the answer. n log n in the number of images.
    std::vector<std::uint64_t> bounds;
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < m_images.size(); ++i) {
        const auto& image = m_images[i];
        if (image.imageSize() == 0)
            continue; // holds no address
        // The decoder refuses ranges that pass the end of the address space.
        bounds.push_back(image.imageBaseAddress());
        bounds.push_back(image.imageBaseAddress() + image.imageSize());
        order.push_back(i);
    }
    std::sort(bounds.begin(), bounds.end());
    bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return m_images[a].imageBaseAddress() < m_images[b].imageBaseAddress(); });
    std::priority_queue<std::size_t, std::vector<std::size_t>, std::greater<>> begun;
    std::size_t next = 0;
    m_imageRanges.clear();
    for (std::size_t b = 0; b + 1 < bounds.size(); ++b) {
        const std::uint64_t at = bounds[b];
        while (next < order.size() && m_images[order[next]].imageBaseAddress() <= at)
            begun.push(order[next++]);
        // Ended images leave once they reach the top: an ended image stays ended further up.
        while (!begun.empty() && m_images[begun.top()].imageBaseAddress() + m_images[begun.top()].imageSize() <= at)
            begun.pop();
        if (begun.empty())
            continue;
        const std::size_t image = begun.top();
        if (!m_imageRanges.empty() && m_imageRanges.back().image == image && m_imageRanges.back().end == at)
            m_imageRanges.back().end = bounds[b + 1];
        else
            m_imageRanges.push_back({ at, bounds[b + 1], image });
    }
}

namespace {

std::string tooLargeMessage()
{
    return "The crash report is larger than " + std::to_string(MVCrashReport::kMaxReportSize) + " bytes, more than a crash report ever holds.";
}

} // namespace

class MVCrashReportDecoder {
public:
    explicit MVCrashReportDecoder(foundation::ErrorPtr* error) : m_error(error) { }

    std::shared_ptr<MVCrashReport> decode(const std::vector<std::uint8_t>& data);

private:
    using Report = Mvcrash__CrashReport;

    // Messages of the table are looked up in the main bundle's strings first.
    std::nullptr_t fail(const std::string& text, bool localize = true)
    {
        mvcrash_populate_error(m_error, MVCrashReporterErrorCrashReportInvalid, localize ? foundation::localized(text) : text);
        return nullptr;
    }

    // Stored text is kept, with bytes that are not UTF-8 replaced by U+FFFD.
    static std::string text(const char* value)
    {
        if (!value)
            return {};
        std::string_view in(value);
        if (foundation::isValidUTF8(in))
            return std::string(in);
        std::string out;
        std::size_t pos = 0;
        while (pos < in.size()) {
            if (auto cp = foundation::decodeUTF8(in, pos)) {
                foundation::appendUTF8(out, *cp);
            } else {
                foundation::appendUTF8(out, 0xFFFD);
                ++pos;
            }
        }
        return out;
    }
    static std::optional<std::string> optionalText(const char* value)
    {
        if (!value)
            return std::nullopt;
        return text(value);
    }

    MVCrashReportProcessorInfoPtr processor(const Mvcrash__CrashReport__Processor* p)
    {
        if (!p)
            return fail("Crash report is missing processor info section");
        const int encoding = p->has_encoding ? p->encoding : MVCRASH__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_UNKNOWN;
        return std::make_shared<MVCrashReportProcessorInfo>(encoding == 1 ? MVCrashReportProcessorInfo::Mach : MVCrashReportProcessorInfo::Unknown, p->type, p->subtype);
    }

    MVCrashReportProcessorInfoPtr processorFromArchitecture(int architecture)
    {
        struct Row {
            int architecture;
            std::uint64_t type, subtype;
        };
        static const Row rows[] = { { 0, 7, 3 }, { 1, 0x1000007, 3 }, { 2, 12, 6 }, { 3, 18, 0 }, { 4, 0x1000012, 0 }, { 5, 12, 9 } };
        for (const auto& row : rows)
            if (row.architecture == architecture)
                return std::make_shared<MVCrashReportProcessorInfo>(MVCrashReportProcessorInfo::Mach, row.type, row.subtype);
        return fail("Crash report has an unknown architecture");
    }

    bool frame(const Mvcrash__CrashReport__Thread__StackFrame* f, MVCrashReportStackFrameInfo* out)
    {
        if (!f)
            return fail("Crash report is missing stack frame information"), false;
        out->instructionPointer = f->pc;
        if (m_pointerAuthentication)
            out->instructionPointer &= 0xFFFFFFFFFULL;
        if (f->symbol) {
            if (!f->symbol->name)
                return fail("Crash report is missing symbol information"), false;
            out->symbolInfo = MVCrashReportSymbolInfo { text(f->symbol->name), f->symbol->start_address, f->symbol->has_end_address ? f->symbol->end_address : 0 };
        }
        return true;
    }

    foundation::ErrorPtr* m_error;
    bool m_pointerAuthentication = false;
};

std::shared_ptr<MVCrashReport> MVCrashReportDecoder::decode(const std::vector<std::uint8_t>& data)
{
    if (data.size() <= 8)
        return fail("Could not decode truncated crash log");
    if (std::memcmp(data.data(), "mvcrash", 7) != 0)
        return fail("Could not decode invalid crash log header");
    if (data[7] != 1) {
        const std::string format = foundation::localized("Could not decode unsupported crash report version: %d");
        char message[256];
        std::snprintf(message, sizeof message, format.find("%d") != std::string::npos ? format.c_str() : "Could not decode unsupported crash report version: %d", data[7]);
        return fail(message, false);
    }
    std::unique_ptr<Report, void (*)(Report*)> report(mvcrash__crash_report__unpack(nullptr, data.size() - 8, data.data() + 8),
        [](Report* r) { if (r) mvcrash__crash_report__free_unpacked(r, nullptr); });
    if (!report)
        return fail("An unknown error occured decoding the crash report");
    std::shared_ptr<MVCrashReport> result(new MVCrashReport());

    if (report->report_info && report->report_info->has_uuid) {
        if (report->report_info->uuid.len != 16)
            return fail("Report UUID value is not a standard 16 bytes", false);
        foundation::UUID::Bytes bytes;
        std::memcpy(bytes.data(), report->report_info->uuid.data, 16);
        result->m_uuid = foundation::UUID::fromBytes(bytes);
    }

    MVCrashReportProcessorInfoPtr machineProcessor;
    if (report->machine_info) {
        const auto* m = report->machine_info;
        MVCrashReportMachineInfo machine;
        machine.modelName = optionalText(m->model);
        if (m->processor) {
            if (!(machine.processorInfo = processor(m->processor)))
                return nullptr;
        }
        machine.processorCount = m->processor_count;
        machine.logicalProcessorCount = m->logical_processor_count;
        machineProcessor = machine.processorInfo;
        m_pointerAuthentication = machineProcessor && machineProcessor->type() == 0x100000C && machineProcessor->subtype() == 2;
        result->m_machineInfo = std::move(machine);
    }

    const auto* s = report->system_info;
    if (!s)
        return fail("Crash report is missing System Information section");
    if (!s->os_version)
        return fail("Crash report is missing System Information OS version field");
    MVCrashReportProcessorInfoPtr systemProcessor = machineProcessor;
    if (!systemProcessor && !(systemProcessor = processorFromArchitecture(s->architecture)))
        return nullptr;
    std::optional<foundation::Date> timestamp;
    // 0 is none; a time before 1970 or past the year 9999 is no date a crash happened at (and
    // past the range of the platform's time types it would not even convert).
    constexpr int64_t latestTimestamp = 253402300799; // 9999-12-31 23:59:59 UTC
    if (s->timestamp > 0 && s->timestamp <= latestTimestamp)
        timestamp = foundation::Date::dateWithTimeIntervalSince1970(static_cast<double>(s->timestamp));
    result->m_systemInfo = std::make_shared<MVCrashReportSystemInfo>(s->has_operating_system ? static_cast<int>(s->operating_system) : static_cast<int>(MVCrashReportSystemInfo::Unknown),
        text(s->os_version), optionalText(s->os_build), s->architecture, systemProcessor, timestamp, optionalText(s->os_name));

    const auto* a = report->application_info;
    if (!a)
        return fail("Crash report is missing Application Information section");
    if (!a->identifier)
        return fail("Crash report is missing Application Information app identifier field");
    if (!a->version)
        return fail("Crash report is missing Application Information app version field");
    result->m_applicationInfo = MVCrashReportApplicationInfo { text(a->identifier), text(a->version), optionalText(a->marketing_version) };

    if (const auto* p = report->process_info) {
        MVCrashReportProcessInfo process;
        process.processName = optionalText(p->process_name);
        process.processID = p->process_id;
        process.processPath = optionalText(p->process_path);
        process.parentProcessName = optionalText(p->parent_process_name);
        process.parentProcessID = p->parent_process_id;
        process.native = p->native;
        if (p->has_start_time)
            process.processStartTime = foundation::Date::dateWithTimeIntervalSince1970(static_cast<double>(p->start_time));
        result->m_processInfo = std::move(process);
    }

    const auto* sig = report->signal;
    if (!sig)
        return fail("Crash report is missing Signal Information section");
    if (!sig->name)
        return fail("Crash report is missing signal name field");
    if (!sig->code)
        return fail("Crash report is missing signal code field");
    result->m_signalInfo = MVCrashReportSignalInfo { text(sig->name), text(sig->code), sig->address };
    if (sig->mach_exception) {
        if (sig->mach_exception->n_codes >= 256)
            return fail("Crash report includes too many Mach Exception codes");
        MVCrashReportMachExceptionInfo mach;
        mach.type = sig->mach_exception->type;
        mach.codes.assign(sig->mach_exception->codes, sig->mach_exception->codes + sig->mach_exception->n_codes);
        result->m_machExceptionInfo = std::move(mach);
    }

    if (report->n_threads == 0)
        return fail("Crash report is missing thread state information");
    for (std::size_t i = 0; i < report->n_threads; ++i) {
        const auto* t = report->threads[i];
        MVCrashReportThreadInfo thread;
        thread.threadNumber = t->thread_number;
        thread.crashed = t->crashed;
        for (std::size_t f = 0; f < t->n_frames; ++f) {
            MVCrashReportStackFrameInfo info;
            if (!frame(t->frames[f], &info))
                return nullptr;
            thread.stackFrames.push_back(std::move(info));
        }
        for (std::size_t r = 0; r < t->n_registers; ++r) {
            if (!t->registers[r]->name)
                return fail("Missing register name in register value", false);
            thread.registers.push_back(MVCrashReportRegisterInfo { text(t->registers[r]->name), t->registers[r]->value });
        }
        result->m_threads.push_back(std::move(thread));
    }

    if (report->n_binary_images == 0)
        return fail("Crash report is missing binary image information");
    for (std::size_t i = 0; i < report->n_binary_images; ++i) {
        const auto* image = report->binary_images[i];
        if (!image->name)
            return fail("Missing image name in image record", false);
        if (image->base_address + image->size < image->base_address)
            return fail("Binary image address range passes the end of the address space", false);
        if (image->has_uuid && image->uuid.len > 32)
            return fail("Binary image UUID is longer than 32 bytes", false);
        MVCrashReportProcessorInfoPtr codeType;
        if (image->code_type && !(codeType = processor(image->code_type)))
            return nullptr;
        std::vector<std::uint8_t> uuid;
        const bool hasUUID = image->has_uuid && image->uuid.len > 0;
        if (hasUUID)
            uuid.assign(image->uuid.data, image->uuid.data + image->uuid.len);
        result->m_images.emplace_back(codeType, image->base_address, image->size, text(image->name), hasUUID ? &uuid : nullptr);
    }

    if (const auto* e = report->exception) {
        if (!e->name)
            return fail("Crash report is missing exception name field");
        if (!e->reason)
            return fail("Crash report is missing exception reason field");
        MVCrashReportExceptionInfo exception { text(e->name), text(e->reason), std::nullopt };
        if (e->n_frames > 0) {
            std::vector<MVCrashReportStackFrameInfo> frames;
            for (std::size_t f = 0; f < e->n_frames; ++f) {
                MVCrashReportStackFrameInfo info;
                if (!frame(e->frames[f], &info))
                    return nullptr;
                frames.push_back(std::move(info));
            }
            exception.stackFrames = std::move(frames);
        }
        result->m_exceptionInfo = std::move(exception);
    }

    if (report->has_custom_data)
        result->m_customData = std::vector<std::uint8_t>(report->custom_data.data, report->custom_data.data + report->custom_data.len);
    result->m_truncated = report->has_truncated && report->truncated;
    result->indexImages();
    return result;
}

std::shared_ptr<MVCrashReport> MVCrashReport::initWithData(const std::vector<std::uint8_t>& data, foundation::ErrorPtr* error)
{
    return MVCrashReportDecoder(error).decode(data);
}

std::optional<std::vector<std::uint8_t>> MVCrashReport::readReportFile(const std::string& path, foundation::ErrorPtr* error)
{
    // Never blocks: a pipe put in the report's place must not hang the launch.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        mvcrash_populate_posix_error(error, errno, "The crash report could not be opened.");
        return std::nullopt;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        mvcrash_populate_error(error, MVCrashReporterErrorCrashReportInvalid, "The crash report is not a regular file.");
        return std::nullopt;
    }
    if (static_cast<std::uint64_t>(status.st_size) > kMaxReportSize) {
        ::close(fd);
        mvcrash_populate_error(error, MVCrashReporterErrorCrashReportInvalid, tooLargeMessage());
        return std::nullopt;
    }
    // Read one byte past the limit, so that a file that grew since fstat is still refused.
    std::vector<std::uint8_t> data(static_cast<std::size_t>(status.st_size) + 1);
    std::size_t done = 0;
    for (;;) {
        if (done == data.size()) {
            if (data.size() > kMaxReportSize)
                break;
            data.resize(std::min(data.size() * 2, kMaxReportSize + 1));
        }
        const ssize_t n = ::read(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int code = errno;
            ::close(fd);
            mvcrash_populate_posix_error(error, code, "The crash report could not be read.");
            return std::nullopt;
        }
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (done > kMaxReportSize) {
        mvcrash_populate_error(error, MVCrashReporterErrorCrashReportInvalid, tooLargeMessage());
        return std::nullopt;
    }
    data.resize(done);
    return data;
}
