#include <gtest/gtest.h>

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "MovaraAppKit/CrashReporter/MVCrashFrameCursor.h"
#include "MovaraAppKit/CrashReporter/MVCrashImage.h"

namespace {

// The build-id of the image holding `address`, found through the loader's own interface
// (dl_iterate_phdr), independently of the reader under test.
std::vector<std::uint8_t> buildIdByLoader(const void* address)
{
    struct Search {
        std::uint64_t address;
        std::vector<std::uint8_t> id;
    } search { reinterpret_cast<std::uint64_t>(address), {} };
    ::dl_iterate_phdr([](dl_phdr_info* info, std::size_t, void* data) -> int {
        auto* s = static_cast<Search*>(data);
        bool holds = false;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
            const auto& ph = info->dlpi_phdr[i];
            if (ph.p_type == PT_LOAD && s->address >= info->dlpi_addr + ph.p_vaddr && s->address < info->dlpi_addr + ph.p_vaddr + ph.p_memsz)
                holds = true;
        }
        if (!holds)
            return 0;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
            const auto& ph = info->dlpi_phdr[i];
            if (ph.p_type != PT_NOTE)
                continue;
            const auto* p = reinterpret_cast<const std::uint8_t*>(info->dlpi_addr + ph.p_vaddr);
            const auto* end = p + ph.p_memsz;
            while (p + sizeof(Elf64_Nhdr) <= end) {
                const auto* note = reinterpret_cast<const Elf64_Nhdr*>(p);
                const auto* desc = p + sizeof(Elf64_Nhdr) + ((note->n_namesz + 3) & ~3u);
                if (note->n_type == NT_GNU_BUILD_ID)
                    s->id.assign(desc, desc + note->n_descsz);
                p = desc + ((note->n_descsz + 3) & ~3u);
            }
        }
        return 1;
    }, &search);
    return search.id;
}

} // namespace

TEST(MVCrashImage, TheLibraryHoldingAFunctionIsDescribedWithItsBuildIdAndSymbols)
{
    mvcrash_async_image_list_t list;
    mvcrash_nasync_image_list_init(&list, MVCRASH_TASK_SELF);
    const auto function = reinterpret_cast<std::uint64_t>(&mvcrash_async_strerror);
    mvcrash_async_image_t image;
    mvcrash_async_image_list_set_reading(&list, true);
    ASSERT_TRUE(mvcrash_async_image_containing_address(&list, function, &image));
    mvcrash_async_image_list_set_reading(&list, false);
    EXPECT_NE(std::string(image.elf.name).find("libMovaraAppKit"), std::string::npos) << image.elf.name;
    EXPECT_EQ(mvcrash_async_elf_cpu_type(&image.elf), 0x01000007u);
    EXPECT_NE(image.elf.eh_frame, 0u);
    const auto expected = buildIdByLoader(reinterpret_cast<const void*>(&mvcrash_async_strerror));
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(std::vector<std::uint8_t>(image.elf.build_id, image.elf.build_id + image.elf.build_id_length), expected);

    std::uint64_t start = 0;
    char name[256];
    ASSERT_EQ(mvcrash_async_elf_find_symbol_by_pc(&image.elf, function + 3, &start, name, sizeof name), MVCRASH_ERR_NONE);
    EXPECT_EQ(start, function);
    EXPECT_STREQ(name, "_Z22mvcrash_async_strerrori");
    // A name buffer too small cuts the name rather than overrunning.
    char small[8];
    ASSERT_EQ(mvcrash_async_elf_find_symbol_by_pc(&image.elf, function, &start, small, sizeof small), MVCRASH_ERR_NONE);
    EXPECT_STREQ(small, "_Z22mvc");
    std::uint64_t found = 0;
    ASSERT_EQ(mvcrash_async_elf_find_symbol_by_name(&image.elf, "_Z22mvcrash_async_strerrori", &found), MVCRASH_ERR_NONE);
    EXPECT_EQ(found, function);
    EXPECT_EQ(mvcrash_async_elf_find_symbol_by_name(&image.elf, "no such symbol", &found), MVCRASH_ERR_NOT_FOUND);
    mvcrash_nasync_image_list_free(&list);
}

TEST(MVCrashImage, TheListHoldsTheExecutableAndTheCLibraryOnce)
{
    mvcrash_async_image_list_t list;
    mvcrash_nasync_image_list_init(&list, MVCRASH_TASK_SELF);
    mvcrash_async_image_t image {};
    std::vector<std::string> names;
    std::vector<std::uint64_t> headers;
    while (mvcrash_async_image_list_next(&list, &image)) {
        names.emplace_back(image.elf.name);
        headers.push_back(image.elf.header);
    }
    ASSERT_FALSE(names.empty());
    EXPECT_NE(names.front().find("MovaraAppKitTests"), std::string::npos) << names.front();
    int libc = 0;
    for (const auto& n : names)
        libc += n.find("/libc.so") != std::string::npos;
    EXPECT_EQ(libc, 1);
    std::sort(headers.begin(), headers.end());
    EXPECT_EQ(std::adjacent_find(headers.begin(), headers.end()), headers.end());
    mvcrash_async_image_t none;
    EXPECT_FALSE(mvcrash_async_image_containing_address(&list, 0x1000, &none));
}

TEST(MVCrashImage, HostileHeadersAreRefusedWithoutFaulting)
{
    std::vector<std::uint8_t> bytes(512, 0);
    Elf64_Ehdr header {};
    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = ELFCLASS64;
    header.e_ident[EI_DATA] = ELFDATA2LSB;
    header.e_phentsize = sizeof(Elf64_Phdr);
    header.e_machine = EM_X86_64;
    const auto base = reinterpret_cast<std::uint64_t>(bytes.data());
    mvcrash_async_elf_t elf;
    struct Case {
        const char* what;
        std::uint64_t phoff;
        std::uint16_t phnum;
        Elf64_Phdr phdr;
    };
    const Case cases[] = {
        { "program headers far outside the image", 0x7FFF'0000'0000ULL, 2, {} },
        { "offset that wraps the address space", UINT64_MAX - 8, 1, {} },
        { "no executable segment", sizeof header, 1, Elf64_Phdr { PT_LOAD, PF_R, 0, 0, 0, 0x100, 0x100, 0x1000 } },
        { "a segment whose size wraps", sizeof header, 1, Elf64_Phdr { PT_LOAD, PF_R | PF_X, 0, 0x10, 0, 0x100, UINT64_MAX, 0x1000 } },
        { "too many program headers", sizeof header, 5000, {} },
    };
    for (const auto& c : cases) {
        header.e_phoff = c.phoff;
        header.e_phnum = c.phnum;
        std::memcpy(bytes.data(), &header, sizeof header);
        std::memcpy(bytes.data() + sizeof header, &c.phdr, sizeof c.phdr);
        EXPECT_EQ(mvcrash_async_elf_init(&elf, MVCRASH_TASK_SELF, base, 0, 0), MVCRASH_ERR_INVALID_ARGUMENT) << c.what;
    }
    bytes[EI_CLASS] = ELFCLASS32;
    EXPECT_EQ(mvcrash_async_elf_init(&elf, MVCRASH_TASK_SELF, base, 0, 0), MVCRASH_ERR_INVALID_ARGUMENT);

    // A well-formed header whose unwind header points outside the image gets no unwind tables.
    std::vector<std::uint8_t> image(0x200, 0);
    header.e_phoff = sizeof header;
    header.e_phnum = 2;
    std::memcpy(image.data(), &header, sizeof header);
    const Elf64_Phdr phdrs[2] = {
        { PT_LOAD, PF_R | PF_X, 0, 0, 0, 0x200, 0x200, 0x1000 },
        { PT_GNU_EH_FRAME, PF_R, 0x180, 0x180, 0x180, 12, 12, 4 },
    };
    std::memcpy(image.data() + sizeof header, phdrs, sizeof phdrs);
    const std::uint8_t ehHeader[12] = { 1, 0x1B, 0x03, 0x3B, 0x00, 0x00, 0x00, 0x40, 0, 0, 0, 0 };
    std::memcpy(image.data() + 0x180, ehHeader, sizeof ehHeader);
    const auto imageBase = reinterpret_cast<std::uint64_t>(image.data());
    ASSERT_EQ(mvcrash_async_elf_init(&elf, MVCRASH_TASK_SELF, imageBase, imageBase, 0), MVCRASH_ERR_NONE);
    EXPECT_EQ(elf.text_size, 0x200u);
    EXPECT_EQ(elf.eh_frame, 0u);
    std::uint64_t fde = 0;
    EXPECT_EQ(mvcrash_async_elf_find_fde(&elf, imageBase + 0x10, &fde), MVCRASH_ERR_NOT_FOUND);
}

// Names are read in whole runs of bytes: one that ends on the last byte before an unreadable page
// is still read, one that runs into that page or past its table's end is refused, and an image
// path is kept up to the unreadable byte.
TEST(MVCrashImage, NamesAtThePageEdgeAreReadUpToTheUnreadablePage)
{
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    void* mapping = ::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapping, MAP_FAILED);
    ASSERT_EQ(::mprotect(static_cast<char*>(mapping) + page, page, PROT_NONE), 0);
    char* const edge = static_cast<char*>(mapping) + page; // the first unreadable byte

    Elf64_Sym symbol {};
    symbol.st_info = ELF64_ST_INFO(STB_GLOBAL, STT_FUNC);
    symbol.st_shndx = 1;
    symbol.st_value = 0x1000;
    symbol.st_size = 0x10;
    mvcrash_async_elf_t elf {};
    elf.task = MVCRASH_TASK_SELF;
    elf.symtab = reinterpret_cast<std::uint64_t>(&symbol);
    elf.symcount = 1;
    struct Case {
        const char* what;
        const char* bytes; // placed to end at the unreadable page
        std::size_t tableSize; // from the name's start
        mvcrash_error_t result;
        const char* name;
    };
    const Case cases[] = {
        { "terminated on the last readable byte", "edge_fn", 64, MVCRASH_ERR_NONE, "edge_fn" },
        { "running into the unreadable page", "runs_on", 64, MVCRASH_ERR_INVALID_ARGUMENT, "" },
        { "running past the end of its table", "too_lon", 7, MVCRASH_ERR_INVALID_ARGUMENT, "" },
    };
    for (const auto& c : cases) {
        // With its terminator when the case has one: the terminated name ends at the edge.
        const bool terminated = c.result == MVCRASH_ERR_NONE;
        const std::size_t length = std::strlen(c.bytes) + (terminated ? 1 : 0);
        char* start = edge - length;
        std::memcpy(start, c.bytes, length);
        elf.strtab = reinterpret_cast<std::uint64_t>(start);
        elf.strsz = c.tableSize;
        std::uint64_t found = 0;
        char name[64] = "";
        EXPECT_EQ(mvcrash_async_elf_find_symbol_by_pc(&elf, 0x1004, &found, name, sizeof name), c.result) << c.what;
        if (c.result == MVCRASH_ERR_NONE) {
            EXPECT_STREQ(name, c.name) << c.what;
        }
    }

    // An image whose path runs into the unreadable page keeps what could be read.
    mvcrash_async_image_list_t list;
    mvcrash_nasync_image_list_init(&list, MVCRASH_TASK_SELF);
    mvcrash_async_image_t image {};
    ASSERT_TRUE(mvcrash_async_image_list_next(&list, &image));
    std::memcpy(edge - 8, "/lib/cut", 8);
    ASSERT_EQ(mvcrash_async_elf_init(&elf, MVCRASH_TASK_SELF, image.elf.header, image.elf.bias, reinterpret_cast<std::uint64_t>(edge - 8)), MVCRASH_ERR_NONE);
    EXPECT_STREQ(elf.name, "/lib/cut");
    ::munmap(mapping, 2 * page);
}

// A symbol's name is cut to the capacity it is copied into, terminator included, and nothing is
// written past it: the writer's buffer is 256 bytes, so names of 255, 256 and more characters
// are the cases that matter. A guard byte after the capacity shows a write one byte too far
// with or without the address checker.
TEST(MVCrashImage, LongSymbolNamesAreCutToTheCapacityAndNothingIsWrittenPastIt)
{
    constexpr std::size_t capacity = 256;
    for (const std::size_t length : { std::size_t { 254 }, std::size_t { 255 }, std::size_t { 256 }, std::size_t { 257 }, std::size_t { 300 } }) {
        const std::string symbolName = "f" + std::string(length - 1, 'x');
        Elf64_Sym symbol {};
        symbol.st_info = ELF64_ST_INFO(STB_GLOBAL, STT_FUNC);
        symbol.st_shndx = 1;
        symbol.st_name = 1;
        symbol.st_value = 0x1000;
        symbol.st_size = 0x10;
        std::vector<char> table(1 + symbolName.size() + 1, 0);
        std::memcpy(table.data() + 1, symbolName.c_str(), symbolName.size() + 1);
        mvcrash_async_elf_t elf {};
        elf.task = MVCRASH_TASK_SELF;
        elf.symtab = reinterpret_cast<std::uint64_t>(&symbol);
        elf.symcount = 1;
        elf.strtab = reinterpret_cast<std::uint64_t>(table.data());
        elf.strsz = table.size();
        std::vector<char> name(capacity + 1, '#');
        std::uint64_t start = 0;
        ASSERT_EQ(mvcrash_async_elf_find_symbol_by_pc(&elf, 0x1004, &start, name.data(), capacity), MVCRASH_ERR_NONE) << length;
        EXPECT_EQ(start, 0x1000u);
        EXPECT_EQ(std::string(name.data()), symbolName.substr(0, capacity - 1)) << length;
        EXPECT_EQ(name[capacity], '#') << "a name of " << length << " characters was written past the capacity";
    }
}
