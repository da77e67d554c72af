#!/usr/bin/env python3
"""Pack an elementary video stream and an audio stream into the camera's stream files.

Input:  an Annex-B H.264 or H.265 stream (one slice per picture, no B-frames, so
        decode order is presentation order) and either an ADTS AAC stream or raw
        G.711 A-law / mu-law / 16-bit PCM samples.
Output: NAME       every frame as FC FC FC FC followed by its payload
        NAME.index one line per frame, in play order
        NAME.meta  key=value lines with the codec parameters and the duration

Python standard library only, so the camera's sample files can be rebuilt on any
machine that has ffmpeg.
"""

import argparse
import os
import sys

MARKER = b"\xfc\xfc\xfc\xfc"
# The camera reads every frame into a buffer of this size (marker included).
MAX_FRAME = 131072

AAC_RATES = [96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000]


class PackError(Exception):
    pass


def split_nal_units(data):
    """Yield (start, payload_start, end) for each NAL unit; start includes the start code."""
    starts = []
    pos = data.find(b"\x00\x00\x01")
    while pos >= 0:
        begin = pos - 1 if pos > 0 and data[pos - 1] == 0 else pos
        starts.append((begin, pos + 3))
        pos = data.find(b"\x00\x00\x01", pos + 3)
    if not starts:
        raise PackError("no Annex-B start code in the video stream")
    for i, (begin, payload) in enumerate(starts):
        end = starts[i + 1][0] if i + 1 < len(starts) else len(data)
        if payload < end:
            yield begin, payload, end


def h264_nal(data, payload):
    nal_type = data[payload] & 0x1F
    vcl = nal_type in (1, 5)
    # first_mb_in_slice is ue(v); value 0 is coded as a single 1 bit.
    first_in_picture = vcl and payload + 1 < len(data) and bool(data[payload + 1] & 0x80)
    opens_unit = nal_type in (6, 7, 8, 9) or 13 <= nal_type <= 18
    return vcl, first_in_picture, opens_unit, nal_type == 5


def h265_nal(data, payload):
    nal_type = (data[payload] >> 1) & 0x3F
    vcl = nal_type < 32
    first_in_picture = vcl and payload + 2 < len(data) and bool(data[payload + 2] & 0x80)
    opens_unit = nal_type in (32, 33, 34, 35, 39) or 41 <= nal_type <= 44 or 48 <= nal_type <= 55
    return vcl, first_in_picture, opens_unit, 16 <= nal_type <= 23


def split_access_units(data, codec):
    """Return [(bytes, is_key)] with one access unit per picture."""
    classify = h264_nal if codec == "h264" else h265_nal
    units = []
    cur_start = None
    cur_has_vcl = False
    cur_key = False
    for begin, payload, end in split_nal_units(data):
        vcl, first_in_picture, opens_unit, key = classify(data, payload)
        new_unit = cur_start is None or (cur_has_vcl and (opens_unit or first_in_picture))
        if new_unit:
            if cur_start is not None:
                units.append((data[cur_start:begin], cur_key))
            cur_start, cur_has_vcl, cur_key = begin, False, False
        cur_has_vcl = cur_has_vcl or vcl
        cur_key = cur_key or key
    if cur_start is not None and cur_has_vcl:
        units.append((data[cur_start:], cur_key))
    if not units:
        raise PackError("no picture in the video stream")
    return units


def split_adts(data):
    """Return ([frame bytes], sample_rate, channels, samples_per_frame)."""
    frames = []
    rate = channels = None
    pos = 0
    while pos < len(data):
        if pos + 7 > len(data) or data[pos] != 0xFF or (data[pos + 1] & 0xF6) != 0xF0:
            raise PackError("bad ADTS header at byte %d" % pos)
        rate_index = (data[pos + 2] >> 2) & 0x0F
        chan = ((data[pos + 2] & 0x01) << 2) | (data[pos + 3] >> 6)
        length = ((data[pos + 3] & 0x03) << 11) | (data[pos + 4] << 3) | (data[pos + 5] >> 5)
        blocks = (data[pos + 6] & 0x03) + 1
        if rate_index >= len(AAC_RATES) or length < 7 or pos + length > len(data):
            raise PackError("bad ADTS frame at byte %d" % pos)
        if blocks != 1:
            raise PackError("ADTS frames with several raw data blocks are not supported")
        if rate is None:
            rate, channels = AAC_RATES[rate_index], chan
        elif (AAC_RATES[rate_index], chan) != (rate, channels):
            raise PackError("ADTS parameters change inside the stream")
        frames.append(data[pos:pos + length])
        pos += length
    if not frames:
        raise PackError("empty audio stream")
    return frames, rate, channels, 1024


def split_raw(data, rate, channels, bytes_per_sample, frame_ms):
    frame_bytes = rate * channels * bytes_per_sample * frame_ms // 1000
    if frame_bytes <= 0:
        raise PackError("audio frame of zero bytes")
    usable = len(data) - len(data) % frame_bytes
    if usable == 0:
        raise PackError("audio stream shorter than one frame")
    return [data[i:i + frame_bytes] for i in range(0, usable, frame_bytes)]


def pack(args):
    with open(args.video, "rb") as f:
        units = split_access_units(f.read(), args.video_codec)
    if not units[0][1]:
        raise PackError("the video stream does not start with a key frame")

    # (timestamp ms, media, sequence, payload, key); media 0 sorts video first
    # when both start at the same millisecond.
    frames = []
    for i, (au, key) in enumerate(units):
        frames.append(((i * 1000 + args.fps // 2) // args.fps, 0, i, au, key))
    video_end = (len(units) * 1000 + args.fps // 2) // args.fps

    with open(args.audio, "rb") as f:
        audio = f.read()
    if args.audio_codec == "aac":
        chunks, rate, channels, per_frame = split_adts(audio)
        if channels not in (1, 2):
            raise PackError("AAC channel configuration %d is not supported" % channels)
        starts = [(i * per_frame * 1000 + rate // 2) // rate for i in range(len(chunks) + 1)]
    else:
        rate, channels = args.audio_rate, args.audio_channels
        sample_bytes = 2 if args.audio_codec == "pcm" else 1
        chunks = split_raw(audio, rate, channels, sample_bytes, args.audio_frame_ms)
        starts = [i * args.audio_frame_ms for i in range(len(chunks) + 1)]
    if rate not in AAC_RATES:
        raise PackError("audio sample rate %d is not supported" % rate)
    # Audio that starts after the last picture would leave a hole in the video
    # each time a live replay loops (the encoder's priming frame makes AAC a
    # little longer than the video it was cut with): it is dropped.
    audio_count = sum(1 for ts in starts[:-1] if ts < video_end)
    if audio_count == 0:
        raise PackError("no audio frame within the video's length")
    for i in range(audio_count):
        frames.append((starts[i], 1, i, chunks[i], False))
    audio_end = starts[audio_count]

    frames.sort(key=lambda fr: (fr[0], fr[1], fr[2]))

    out = args.out
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    offset = 0
    with open(out, "wb") as data_file, open(out + ".index", "w") as index_file:
        for ts, media, _, payload, key in frames:
            length = len(MARKER) + len(payload)
            if length > MAX_FRAME:
                raise PackError("frame of %d bytes at %d ms exceeds %d" % (length, ts, MAX_FRAME))
            data_file.write(MARKER)
            data_file.write(payload)
            index_file.write("media=%d,offset=%d,len=%d,timestamp=%d,key=%d\n"
                             % (media, offset, length, ts, 1 if key else 0))
            offset += length

    duration = (max(video_end, audio_end) + 500) // 1000
    # AAC and G.711 decode to 16-bit samples; PCM is packed as 16-bit.
    with open(out + ".meta", "w") as meta:
        meta.write("video.format=%s\n" % args.video_codec)
        meta.write("video.fps=%d\n" % args.fps)
        meta.write("audio.format=%s\n" % args.audio_codec)
        meta.write("audio.sample_rate=%d\n" % rate)
        meta.write("audio.bits_per_sample=16\n")
        meta.write("audio.channel=%d\n" % channels)
        meta.write("duration=%d\n" % duration)
    return len(units), audio_count, duration


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--video", required=True, help="Annex-B elementary stream")
    p.add_argument("--video-codec", required=True, choices=["h264", "h265"])
    p.add_argument("--fps", type=int, required=True)
    p.add_argument("--audio", required=True, help="ADTS AAC or raw G.711 / PCM")
    p.add_argument("--audio-codec", required=True, choices=["aac", "g711a", "g711u", "pcm"])
    p.add_argument("--audio-rate", type=int, default=8000, help="raw audio only")
    p.add_argument("--audio-channels", type=int, default=1, choices=[1, 2], help="raw audio only")
    p.add_argument("--audio-frame-ms", type=int, default=40, help="raw audio only")
    p.add_argument("--out", required=True, help="stream name N: writes N, N.index, N.meta")
    args = p.parse_args()
    if args.fps <= 0 or args.audio_frame_ms <= 0:
        p.error("--fps and --audio-frame-ms must be positive")
    try:
        video, audio, duration = pack(args)
    except (PackError, OSError) as e:
        print("frame_pack: %s" % e, file=sys.stderr)
        return 1
    print("%s: %d video frames, %d audio frames, %d s" % (args.out, video, audio, duration))
    return 0


if __name__ == "__main__":
    sys.exit(main())
