// Streaming a JPEG photo as rows, a strip at a time, through libjpeg's scanline interface: the
// decoded image is never held whole.

#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>
#include <jerror.h>

#include "Platform/Images/Codecs.h"

namespace images::codec {

namespace {

// How many rows a strip holds: enough to keep calls few, few enough to stay in the cache.
constexpr JDIMENSION StripRows = 16;

struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
    bool endedEarly = false;
    char message[JMSG_LENGTH_MAX] = {};
};

[[noreturn]] void exitWithError(j_common_ptr info)
{
    auto* manager = reinterpret_cast<ErrorManager*>(info->err);
    (*info->err->format_message)(info, manager->message);
    std::longjmp(manager->jump, 1);
}

void noteMessage(j_common_ptr info, int level)
{
    auto* manager = reinterpret_cast<ErrorManager*>(info->err);
    // Data that ends before the picture does leaves the rest of it grey.
    if (level < 0 && (info->err->msg_code == JWRN_JPEG_EOF || info->err->msg_code == JWRN_HIT_MARKER))
        manager->endedEarly = true;
}

// Progressive files of thousands of tiny scans would keep a decoder busy for minutes: like the
// TurboJPEG decoder's scan limit, more than this many scans make the file corrupt.
constexpr int MaxScans = 500;

void limitScans(j_common_ptr info)
{
    auto* decompress = reinterpret_cast<j_decompress_ptr>(info);
    if (info->is_decompressor && decompress->input_scan_number > MaxScans) {
        auto* manager = reinterpret_cast<ErrorManager*>(info->err);
        std::snprintf(manager->message, sizeof manager->message, "more than %d scans", MaxScans);
        std::longjmp(manager->jump, 1);
    }
}

struct Run {
    const StripSink* sink = nullptr;
    Bytes in;
    size_t minWidth = 0, minHeight = 0;
    StripOutcome outcome = StripOutcome::failed;
    bool sinkStopped = false;
    jpeg_progress_mgr progress {};
};

// Everything between setjmp and a longjmp out of libjpeg lives in libjpeg's own memory or in
// `run`: no object here has a destructor that the jump would skip.
void decode(jpeg_decompress_struct* info, ErrorManager* errors, Run* run)
{
    if (setjmp(errors->jump)) {
        run->outcome = StripOutcome::failed;
        return;
    }
    run->progress.progress_monitor = limitScans;
    info->progress = &run->progress;
    jpeg_mem_src(info, run->in.data, static_cast<unsigned long>(run->in.size));
    jpeg_read_header(info, TRUE);
    if (info->jpeg_color_space != JCS_YCbCr || info->num_components != 3 || info->data_precision != 8) {
        run->outcome = StripOutcome::unsuitable;
        return;
    }
    info->out_color_space = JCS_EXT_BGRX;
    info->dct_method = JDCT_ISLOW;
    // The stored chroma, repeated rather than interpolated: it goes back to 4:2:0 or 4:2:2 at
    // once, which then keeps it as it was (and the merged upsampler is the fastest).
    info->do_fancy_upsampling = FALSE;
    // The largest power-of-two reduction that keeps the requested size: those are the DCT
    // scalings with fast paths, and the others cost as much as decoding at full size.
    info->scale_num = 1;
    for (unsigned denominator : {8u, 4u, 2u, 1u}) {
        info->scale_denom = denominator;
        jpeg_calc_output_dimensions(info);
        if (info->output_width >= run->minWidth && info->output_height >= run->minHeight)
            break;
    }
    if (!run->sink->begin(info->output_width, info->output_height)) {
        run->outcome = StripOutcome::unsuitable;
        return;
    }
    jpeg_start_decompress(info);
    const JDIMENSION stride = info->output_width * 4;
    JSAMPARRAY strip = (*info->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(info), JPOOL_IMAGE, stride, StripRows);
    // The strip's rows are one allocation each; the sink wants them evenly spaced.
    auto block = static_cast<JSAMPROW>((*info->mem->alloc_large)(reinterpret_cast<j_common_ptr>(info), JPOOL_IMAGE,
                                                                  static_cast<size_t>(stride) * StripRows));
    for (JDIMENSION i = 0; i < StripRows; ++i)
        strip[i] = block + static_cast<size_t>(i) * stride;
    while (info->output_scanline < info->output_height) {
        JDIMENSION filled = 0;
        const JDIMENSION want = std::min(StripRows, info->output_height - info->output_scanline);
        while (filled < want)
            filled += jpeg_read_scanlines(info, strip + filled, want - filled);
        if (errors->endedEarly)
            break;
        if (!run->sink->rows(block, stride, filled)) {
            run->sinkStopped = true;
            return;
        }
    }
    run->outcome = errors->endedEarly ? StripOutcome::failed : StripOutcome::decoded;
}

} // namespace

StripOutcome jpegDecodeStrips(Bytes in, size_t minWidth, size_t minHeight, const StripSink& sink, Failure& failure)
{
    JPEGHeader header;
    if (!jpegHeader(in, header, failure))
        return StripOutcome::failed;
    if (!checkSize(static_cast<uint64_t>(header.width), static_cast<uint64_t>(header.height), failure)
        || !jpegDataHoldsPicture(in, header, failure))
        return StripOutcome::failed;
    if (header.components != 3 || header.adobe)
        return StripOutcome::unsuitable;
    jpeg_decompress_struct info {};
    ErrorManager errors;
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = exitWithError;
    errors.base.emit_message = noteMessage;
    jpeg_create_decompress(&info);
    Run run;
    run.sink = &sink;
    run.in = in;
    run.minWidth = minWidth;
    run.minHeight = minHeight;
    decode(&info, &errors, &run);
    jpeg_destroy_decompress(&info);
    if (run.sinkStopped)
        return StripOutcome::failed; // the sink has said why
    if (run.outcome == StripOutcome::failed) {
        failure = errors.endedEarly ? Failure {4, "the JPEG data ends before the image does"}
                                    : Failure {3, std::string("the JPEG data is corrupt: ") + errors.message};
    }
    return run.outcome;
}

} // namespace images::codec
