#pragma once
// The callbacks through which libFLAC's stream decoder reaches a flac_source: each hands the call
// to the source's own member. Shared by the source's whole-stream and span stages.

#include <FLAC/stream_decoder.h>

#include <cstddef>
#include <cstdint>

#include "audio/flac_source.h"

namespace flac_callbacks {

inline FLAC__StreamDecoderReadStatus read_callback(const FLAC__StreamDecoder*, FLAC__byte buffer[],
                                                   size_t* bytes, void* self) {
    return static_cast<FLAC__StreamDecoderReadStatus>(
        static_cast<flac_source*>(self)->on_read(buffer, bytes));
}

inline FLAC__StreamDecoderTellStatus tell_callback(const FLAC__StreamDecoder*, FLAC__uint64* offset,
                                                   void* self) {
    *offset = static_cast<flac_source*>(self)->bytes_read;
    return FLAC__STREAM_DECODER_TELL_STATUS_OK;
}

inline FLAC__StreamDecoderWriteStatus write_callback(const FLAC__StreamDecoder* decoder,
                                                     const FLAC__Frame* frame,
                                                     const FLAC__int32* const buffer[], void* self) {
    const FLAC__FrameHeader& h = frame->header;
    // libFLAC gives fixed-blocksize streams' frames their sample number too; a frame number is
    // turned into one here all the same.
    const uint64_t first = h.number_type == FLAC__FRAME_NUMBER_TYPE_SAMPLE_NUMBER
                               ? h.number.sample_number
                               : static_cast<uint64_t>(h.number.frame_number) * h.blocksize;
    // A frame libFLAC makes up for the ones it skipped is handed over without a byte read for it.
    FLAC__uint64 at = 0;
    FLAC__stream_decoder_get_decode_position(decoder, &at);
    flac_source& source = *static_cast<flac_source*>(self);
    const bool made_up = at == source.frame_end;
    source.frame_end = at;
    const bool kept =
        source.on_frame(first, h.blocksize, h.channels, h.bits_per_sample, h.sample_rate, buffer, made_up);
    return kept ? FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE : FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
}

inline FLAC__StreamDecoderSeekStatus seek_callback(const FLAC__StreamDecoder*, FLAC__uint64 offset,
                                                   void* self) {
    return static_cast<FLAC__StreamDecoderSeekStatus>(static_cast<flac_source*>(self)->on_seek(offset));
}

inline FLAC__StreamDecoderLengthStatus length_callback(const FLAC__StreamDecoder*, FLAC__uint64* length,
                                                       void* self) {
    *length = static_cast<flac_source*>(self)->stream_length();
    return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
}

inline FLAC__bool eof_callback(const FLAC__StreamDecoder*, void* self) {
    const flac_source& source = *static_cast<flac_source*>(self);
    return source.bytes_read >= source.stream_length();
}

inline void metadata_callback(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* block, void* self) {
    static_cast<flac_source*>(self)->on_metadata(block);
}

inline void error_callback(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus status, void* self) {
    static_cast<flac_source*>(self)->on_error(static_cast<int>(status));
}

}  // namespace flac_callbacks
