// The DV decoder library, over FFmpeg: the dvvideo decoder with slice threads for the picture, and
// libswscale for the conversion to packed RGB (ITU-R BT.601, limited range, as the ffmpeg command
// line converts). State lives here for the whole process; after the first frame, decoding reuses
// the same packet buffer, picture pool and conversion context. Start reading at dvreadblock().
#include "dvlib.h"

#include <cstdint>
#include <cstring>

#include "common.h"
#include "map_pages.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/dv_profile.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

constexpr int DIF_BLOCK_BYTES = 80;  // every DIF block, header or data
constexpr int DIF_SCT_SHIFT = 5;     // section type: top three bits of a block's first byte
constexpr int DV_SCALE_FLAGS = SWS_BICUBIC;  // the command line's default; equal sizes never filter
// Slice threads for one frame: on two cores a frame decodes in about 0.5 ms instead of 0.8
// (bench/README.md); the decoder's process waits for nothing else meanwhile.
#ifndef DV_DECODE_THREADS
#define DV_DECODE_THREADS 2
#endif
constexpr int DECODE_THREADS = DV_DECODE_THREADS;

// A decoded PAL picture: three planes of 4:2:0 in one store, rows padded to the widest SIMD
// alignment that libavcodec and libswscale use, and room after the last row for their overreads.
constexpr int STORE_ALIGN = 64;
constexpr int LUMA_STRIDE = (FRAME_WIDTH + STORE_ALIGN - 1) / STORE_ALIGN * STORE_ALIGN;  // 768
constexpr int CHROMA_STRIDE = LUMA_STRIDE / 2;
constexpr int LUMA_BYTES = LUMA_STRIDE * FRAME_HEIGHT;
constexpr int CHROMA_BYTES = CHROMA_STRIDE * (FRAME_HEIGHT / 2);
constexpr int STORE_BYTES = LUMA_BYTES + 2 * CHROMA_BYTES + STORE_ALIGN;

struct Decoder {
    AVCodecContext *codec;
    AVPacket *packet;  // the input buffer below, for the whole run: the decoder takes its own reference
    AVFrame *picture;
    AVBufferRef *store;  // where PAL pictures are decoded, held for the whole run
    SwsContext *convert;   // rebuilt only when the coded pixel format changes
    alignas(64) uint8_t input[DV_FRAME_BYTES + AV_INPUT_BUFFER_PADDING_SIZE];  // the frame, then zeros
};

static Decoder decoder;

// The first DIF sequence begins with a header block, two subcode blocks, three video-auxiliary
// blocks, an audio block and a video block (IEC 61834-2). Anything else is not a DV frame.
static bool starts_like_dif(const uint8_t *frame)
{
    static const uint8_t section_types[] = {0, 1, 1, 2, 2, 2, 3, 4};
    for (size_t i = 0; i < sizeof section_types; i++)
        if (frame[i * DIF_BLOCK_BYTES] >> DIF_SCT_SHIFT != section_types[i])
            return false;
    return true;
}

static void noop_free(void *, uint8_t *) {}  // the input buffer is static

// The decoder's picture buffers: every PAL picture goes to the one store, which costs a single
// reference per frame where libavcodec's own pool hands out one per plane. The store is free again
// once the picture has been converted and released, before the next decode; anything else (other
// frame sizes and formats, or the store still held) gets libavcodec's own buffers.
static int get_picture_buffer(AVCodecContext *codec, AVFrame *picture, int flags)
{
    if (picture->format != AV_PIX_FMT_YUV420P || picture->width != FRAME_WIDTH ||
        picture->height != FRAME_HEIGHT || !av_buffer_is_writable(decoder.store))
        return avcodec_default_get_buffer2(codec, picture, flags);
    picture->buf[0] = av_buffer_ref(decoder.store);
    if (!picture->buf[0])
        return AVERROR(ENOMEM);
    uint8_t *luma = decoder.store->data;
    picture->data[0] = luma;
    picture->data[1] = luma + LUMA_BYTES;
    picture->data[2] = luma + LUMA_BYTES + CHROMA_BYTES;
    picture->linesize[0] = LUMA_STRIDE;
    picture->linesize[1] = CHROMA_STRIDE;
    picture->linesize[2] = CHROMA_STRIDE;
    picture->extended_data = picture->data;
    return 0;
}

extern "C" int dvinit(void)
{
    if (decoder.codec)
        return 0;
    // Damaged frames are expected on tape: the decoder conceals what it can, and its complaints
    // would flood the player's console, a line per broken block.
    av_log_set_level(AV_LOG_QUIET);
    const AVCodec *dv = avcodec_find_decoder(AV_CODEC_ID_DVVIDEO);
    if (!dv)
        return -1;
    decoder.codec = avcodec_alloc_context3(dv);
    decoder.packet = av_packet_alloc();
    decoder.picture = av_frame_alloc();
    decoder.store = av_buffer_alloc(STORE_BYTES);
    if (decoder.store)
        common_map_pages_now(decoder.store->data, STORE_BYTES);
    AVBufferRef *input = av_buffer_create(decoder.input, sizeof decoder.input, noop_free, nullptr, 0);
    if (!decoder.codec || !decoder.packet || !decoder.picture || !decoder.store || !input)
        return -1;
    decoder.packet->buf = input;  // shared with the decoder without copying
    decoder.packet->data = decoder.input;
    decoder.packet->size = DV_FRAME_BYTES;
    decoder.codec->thread_count = DECODE_THREADS;
    decoder.codec->thread_type = FF_THREAD_SLICE;
    decoder.codec->get_buffer2 = get_picture_buffer;
    return avcodec_open2(decoder.codec, dv, nullptr) < 0 ? -1 : 0;
}

extern "C" int dvstatus(const uint8_t *frame, DvInfo *info)
{
    memset(info, 0, sizeof *info);
    const AVDVProfile *profile =
        starts_like_dif(frame) ? av_dv_frame_profile(nullptr, frame, DV_FRAME_BYTES) : nullptr;
    if (!profile || profile->frame_size > DV_FRAME_BYTES)  // DV50 and HD frames do not fit
        return -1;
    info->word[0] = profile->difseg_size;
    info->word[1] = profile->width;
    info->word[2] = profile->height;
    info->word[3] = profile->frame_size;
    info->word[4] = profile->dsf;
    return 0;
}

static int decode_picture(const uint8_t *frame)
{
    memcpy(decoder.input, frame, DV_FRAME_BYTES);  // the decoder may read into the zero padding
    if (avcodec_send_packet(decoder.codec, decoder.packet) < 0)
        return -1;
    return avcodec_receive_frame(decoder.codec, decoder.picture) < 0 ? -1 : 0;
}

static int convert_picture(uint8_t *image)
{
    const AVFrame *picture = decoder.picture;
    if (picture->width != FRAME_WIDTH || picture->height != FRAME_HEIGHT)
        return -1;  // a 525-line frame inside the file: keep the last picture
    decoder.convert = sws_getCachedContext(decoder.convert, FRAME_WIDTH, FRAME_HEIGHT,
                                           static_cast<AVPixelFormat>(picture->format), FRAME_WIDTH,
                                           FRAME_HEIGHT, AV_PIX_FMT_RGB24, DV_SCALE_FLAGS, nullptr,
                                           nullptr, nullptr);
    if (!decoder.convert)
        return -1;
    uint8_t *planes[4] = {image, nullptr, nullptr, nullptr};
    int strides[4] = {RGB_ROW_BYTES, 0, 0, 0};
    sws_scale(decoder.convert, picture->data, picture->linesize, 0, FRAME_HEIGHT, planes, strides);
    return 0;
}

extern "C" int dvreadblock(const uint8_t *frame, uint8_t *image, int format, int flags)
{
    if (!decoder.codec || format != DV_OUTPUT_RGB24 || flags != DV_QUALITY_FULL)
        return -1;
    if (decode_picture(frame) < 0)
        return -1;
    int converted = convert_picture(image);
    av_frame_unref(decoder.picture);
    return converted;
}
