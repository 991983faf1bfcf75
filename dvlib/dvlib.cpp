// The DV decoder library, over FFmpeg: the dvvideo decoder on one thread for the picture, and
// libswscale for the conversion to packed RGB (ITU-R BT.601, limited range, as the ffmpeg command
// line converts). State lives here for the whole process; after the first frame, decoding reuses
// the same packet buffer, picture pool and conversion context. Start reading at dvreadblock().
#include "dvlib.h"

#include <cstring>

#include "common.h"

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

struct Decoder {
    AVCodecContext *codec;
    AVPacket *packet;
    AVFrame *picture;
    SwsContext *convert;   // rebuilt only when the coded pixel format changes
    AVBufferRef *input_ref;  // the input buffer below, shared with the decoder without copying
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
    decoder.input_ref = av_buffer_create(decoder.input, sizeof decoder.input, noop_free, nullptr, 0);
    if (!decoder.codec || !decoder.packet || !decoder.picture || !decoder.input_ref)
        return -1;
    decoder.codec->thread_count = 1;
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
    AVPacket *packet = decoder.packet;
    packet->buf = av_buffer_ref(decoder.input_ref);
    if (!packet->buf)
        return -1;
    packet->data = decoder.input;
    packet->size = DV_FRAME_BYTES;
    int sent = avcodec_send_packet(decoder.codec, packet);
    av_packet_unref(packet);
    if (sent < 0)
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
