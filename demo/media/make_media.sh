#!/bin/sh
# Makes the simulated camera's sample media from synthetic sources only: a moving
# test pattern with a burned-in running clock and a beeping tone, encoded by
# ffmpeg and packed into the camera's stream files by frame_pack.py.
#
#   make_media.sh                        the committed set, written next to this script
#   make_media.sh -o DIR [-s SECONDS] VARIANT...
#
# Variants:
#   avc_aac_1000k  H.264 1280x720 1000 kbit/s + AAC 16 kHz mono (live main, playback 1)
#   avc_aac_500k   H.264  640x360  500 kbit/s + AAC 16 kHz mono (live sub, playback 2)
#   hevc_g711a     H.265  320x240  300 kbit/s + G.711 A-law 8 kHz
#   avc_g711u      H.264  320x240  300 kbit/s + G.711 mu-law 8 kHz
#   hevc_aac       H.265  320x240  300 kbit/s + AAC 16 kHz mono
#   picture        1.jpg, a 640x360 still of the same pattern
# Every stream has 25 frames per second and a key frame every 2 s, each key frame
# carrying its parameter sets so that any key frame can start a decoder.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
out=$here
# 24 s: a whole number of 64 ms AAC frames at 16 kHz, so the audio of a looping
# live replay ends exactly where the video does.
seconds=24
while getopts "o:s:" opt; do
    case $opt in
        o) out=$OPTARG ;;
        s) seconds=$OPTARG ;;
        *) echo "usage: $0 [-o dir] [-s seconds] [variant...]" >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
[ $# -gt 0 ] || set -- avc_aac_1000k avc_aac_500k picture

command -v ffmpeg >/dev/null || { echo "make_media: ffmpeg is missing" >&2; exit 1; }
command -v python3 >/dev/null || { echo "make_media: python3 is missing" >&2; exit 1; }
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fps=25
gop=$((fps * 2))
font=""
for f in /usr/share/fonts/truetype/dejavu/DejaVuSansMono-Bold.ttf \
         /usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf; do
    [ -f "$f" ] && { font=$f; break; }
done

# The running clock: text when a font is at hand, otherwise a bar that sweeps the
# width once per second plus a block that steps once per second.
clock_filter() { # width height
    if [ -n "$font" ]; then
        size=$(($2 / 8))
        echo "drawtext=fontfile=$font:fontsize=$size:fontcolor=white:box=1:boxcolor=black@0.6:x=(w-tw)/2:y=h-th-$size/2:text='%{pts\\:hms} #%{n}'"
    else
        echo "drawbox=x='mod(t\\,1)*(iw-iw/16)':y=ih-ih/10:w=iw/16:h=ih/12:color=white:t=fill,drawbox=x='mod(floor(t)\\,10)*iw/10':y=ih/20:w=iw/10:h=ih/12:color=yellow:t=fill"
    fi
}

encode_video() { # codec WxH kbps output
    vf=$(clock_filter "${2%x*}" "${2#*x}")
    if [ "$1" = h264 ]; then
        # No B-frames: the camera's index carries one timestamp per picture.
        # The encoder's own SEI banner is dropped; key frames repeat SPS/PPS.
        ffmpeg -v error -y -f lavfi -t "$seconds" -i "testsrc2=size=$2:rate=$fps" -vf "$vf" \
            -pix_fmt yuv420p -g $gop -keyint_min $gop -b:v "${3}k" -maxrate "${3}k" \
            -bufsize "$(($3 * 2))k" -c:v libx264 -preset veryfast -profile:v main -bf 0 \
            -x264-params "repeat-headers=1:scenecut=0" -bsf:v filter_units=remove_types=6 \
            -f h264 "$4"
    else
        ffmpeg -v error -y -f lavfi -t "$seconds" -i "testsrc2=size=$2:rate=$fps" -vf "$vf" \
            -pix_fmt yuv420p -g $gop -keyint_min $gop -b:v "${3}k" -maxrate "${3}k" \
            -bufsize "$(($3 * 2))k" -c:v libx265 -preset veryfast \
            -x265-params "log-level=error:repeat-headers=1:scenecut=0:info=0:bframes=0" \
            -f hevc "$4"
    fi
}

encode_audio() { # codec output -> sets arate
    case $1 in
        aac)
            arate=16000
            ffmpeg -v error -y -f lavfi -t "$seconds" -i "sine=frequency=440:beep_factor=4:sample_rate=$arate" \
                -ac 1 -c:a aac -b:a 32k -f adts "$2" ;;
        g711a)
            arate=8000
            ffmpeg -v error -y -f lavfi -t "$seconds" -i "sine=frequency=440:beep_factor=4:sample_rate=$arate" \
                -ac 1 -c:a pcm_alaw -f alaw "$2" ;;
        g711u)
            arate=8000
            ffmpeg -v error -y -f lavfi -t "$seconds" -i "sine=frequency=440:beep_factor=4:sample_rate=$arate" \
                -ac 1 -c:a pcm_mulaw -f mulaw "$2" ;;
    esac
}

make_stream() { # name vcodec size kbps acodec
    encode_video "$2" "$3" "$4" "$work/$1.video"
    encode_audio "$5" "$work/$1.audio"
    python3 "$here/frame_pack.py" --video "$work/$1.video" --video-codec "$2" --fps $fps \
        --audio "$work/$1.audio" --audio-codec "$5" --audio-rate "$arate" --audio-channels 1 \
        --audio-frame-ms 40 --out "$out/$1"
}

for variant in "$@"; do
    case $variant in
        avc_aac_1000k) make_stream avc_aac_1000k h264 1280x720 1000 aac ;;
        avc_aac_500k)  make_stream avc_aac_500k h264 640x360 500 aac ;;
        hevc_g711a)    make_stream hevc_g711a h265 320x240 300 g711a ;;
        avc_g711u)     make_stream avc_g711u h264 320x240 300 g711u ;;
        hevc_aac)      make_stream hevc_aac h265 320x240 300 aac ;;
        picture)
            ffmpeg -v error -y -f lavfi -i "testsrc2=size=640x360:rate=1" -frames:v 1 \
                -vf "$(clock_filter 640 360)" -q:v 6 "$out/1.jpg"
            echo "$out/1.jpg: $(wc -c < "$out/1.jpg") bytes" ;;
        *) echo "make_media: unknown variant $variant" >&2; exit 2 ;;
    esac
done
