// Writes DV test clips with libavcodec's dvvideo encoder; clip_index.cpp reads the index back.
// The cells are 32 × 32 pixels on 16-pixel boundaries, so every macroblock is flat and DV's
// quantisation leaves their centres close to pure black or white.
#include "clip.h"

#include <cstdio>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

#include "clip_cells.h"

struct ClipFormat {
    int width, height;
    AVPixelFormat pixels;
    AVRational time_base;
};

static ClipFormat clip_format(ClipKind kind)
{
    switch (kind) {
    case CLIP_NTSC: return {720, 480, AV_PIX_FMT_YUV411P, {1001, 30000}};
    case CLIP_DV50: return {720, 576, AV_PIX_FMT_YUV422P, {1, 25}};
    case CLIP_PAL: break;
    }
    return {720, 576, AV_PIX_FMT_YUV420P, {1, 25}};
}

// A slow diagonal gradient that moves with the index, so that frames differ beyond the cells.
static void paint(AVFrame *picture, int index)
{
    for (int y = 0; y < picture->height; y++)
        for (int x = 0; x < picture->width; x++)
            picture->data[0][y * picture->linesize[0] + x] = static_cast<uint8_t>(48 + ((x + y + index * 8) % 160));
    const AVPixFmtDescriptor *layout = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(picture->format));
    int chroma_height = AV_CEIL_RSHIFT(picture->height, layout->log2_chroma_h);
    for (int plane = 1; plane < 3; plane++)
        memset(picture->data[plane], CHROMA_GREY, static_cast<size_t>(picture->linesize[plane]) * chroma_height);
    for (int bit = 0; bit < CLIP_INDEX_BITS; bit++) {
        uint8_t luma = (index >> (CLIP_INDEX_BITS - 1 - bit)) & 1 ? LUMA_ONE : LUMA_ZERO;
        for (int y = CELLS_Y; y < CELLS_Y + CELL; y++)
            memset(picture->data[0] + y * picture->linesize[0] + CELLS_X + bit * CELL, luma, CELL);
    }
}

bool clip_write(const char *path, int frames, ClipKind kind, int first_index)
{
    ClipFormat format = clip_format(kind);
    const AVCodec *dv = avcodec_find_encoder(AV_CODEC_ID_DVVIDEO);
    AVCodecContext *codec = dv ? avcodec_alloc_context3(dv) : nullptr;
    AVFrame *picture = av_frame_alloc();
    AVPacket *packet = av_packet_alloc();
    FILE *out = fopen(path, "wb");
    bool ok = codec && picture && packet && out;
    if (ok) {
        codec->width = format.width;
        codec->height = format.height;
        codec->pix_fmt = format.pixels;
        codec->time_base = format.time_base;
        codec->thread_count = 1;
        codec->chroma_sample_location = AVCHROMA_LOC_TOPLEFT;  // DV's own siting; FFmpeg 7 warns at any other
        picture->width = format.width;
        picture->height = format.height;
        picture->format = format.pixels;
        ok = avcodec_open2(codec, dv, nullptr) >= 0 && av_frame_get_buffer(picture, 0) >= 0;
    }
    for (int i = 0; ok && i < frames; i++) {
        ok = av_frame_make_writable(picture) >= 0;
        if (!ok)
            break;
        paint(picture, first_index + i);
        picture->pts = i;
        ok = avcodec_send_frame(codec, picture) >= 0;
        while (ok && avcodec_receive_packet(codec, packet) >= 0) {
            ok = fwrite(packet->data, 1, packet->size, out) == static_cast<size_t>(packet->size);
            av_packet_unref(packet);
        }
    }
    if (out && fclose(out) != 0)
        ok = false;
    av_packet_free(&packet);
    av_frame_free(&picture);
    avcodec_free_context(&codec);
    return ok;
}
