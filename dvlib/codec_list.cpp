// The codec list of the self-contained dvlib (dvlib/CMakeLists.txt): it holds FFmpeg's DV decoder
// and nothing else. libavcodec's own list names every codec in its archive, and linking it would
// pull all of them into dvlib, with the seventy-odd shared libraries that they call. These five
// functions are everything that libavcodec's list defines, so the linker never takes it.
extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cstdint>
#include <cstring>

extern "C" {

// libavcodec's DV decoder. Its definition is a larger record whose first member is this AVCodec,
// so the two share one address.
extern const AVCodec ff_dvvideo_decoder;

const AVCodec *av_codec_iterate(void **opaque)
{
    uintptr_t next = reinterpret_cast<uintptr_t>(*opaque);
    if (next > 0)
        return nullptr;
    *opaque = reinterpret_cast<void *>(next + 1);
    return &ff_dvvideo_decoder;
}

const AVCodec *avcodec_find_decoder(enum AVCodecID id)
{
    return id == ff_dvvideo_decoder.id ? &ff_dvvideo_decoder : nullptr;
}

const AVCodec *avcodec_find_decoder_by_name(const char *name)
{
    return name && strcmp(name, ff_dvvideo_decoder.name) == 0 ? &ff_dvvideo_decoder : nullptr;
}

const AVCodec *avcodec_find_encoder(enum AVCodecID)
{
    return nullptr;
}

const AVCodec *avcodec_find_encoder_by_name(const char *)
{
    return nullptr;
}

}
