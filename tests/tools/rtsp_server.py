#!/usr/bin/python3
"""A real RTSP server for the scenarios: GStreamer's RTSP server serving
prepared H.264 files (no encoding), one mount per file, on 127.0.0.1.

  rtsp_server.py --port 0 --mount cam1=clip.mp4 --mount cam2=clip.mp4 --stats sent.txt

--av-mount name=file.mp4 serves the file's AAC audio too, as a second
stream; its access units count as "<mount>/audio".

Prints "port N" once it listens. Every client gets its own pipeline reading
the file from its start at the real pace. The stats file holds one line per
mount, "<mount> <access units handed to the payloader>", rewritten whenever
the counts change. SIGTERM or SIGINT stops it; started again with the same
port it serves there again.
"""
import argparse
import os
import signal
import sys
import threading

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--mount", action="append", default=[], help="name=file.mp4")
    parser.add_argument("--av-mount", action="append", default=[], help="name=file.mp4 (H.264+AAC)")
    parser.add_argument("--stats", required=True)
    args = parser.parse_args()

    Gst.init(None)
    counts = {}
    lock = threading.Lock()
    dirty = [False]

    def write_stats():
        with lock:
            if not dirty[0]:
                return True
            dirty[0] = False
            text = "".join(f"{name} {n}\n" for name, n in sorted(counts.items()))
        tmp = args.stats + ".tmp"
        with open(tmp, "w") as f:
            f.write(text)
        os.replace(tmp, args.stats)
        return True

    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(args.port))
    mounts = server.get_mount_points()
    for entry, audio in [(m, False) for m in args.mount] + [(m, True) for m in args.av_mount]:
        name, path = entry.split("=", 1)
        counts[name] = 0
        factory = GstRtspServer.RTSPMediaFactory()
        if audio:
            counts[name + "/audio"] = 0
            factory.set_launch(
                f'( filesrc location="{path}" ! qtdemux name=d d.video_0 ! queue ! h264parse ! '
                "video/x-h264,stream-format=avc,alignment=au ! rtph264pay name=pay0 pt=96 "
                "d.audio_0 ! queue ! aacparse ! rtpmp4gpay name=pay1 pt=97 )")
        else:
            factory.set_launch(
                f'( filesrc location="{path}" ! qtdemux ! h264parse ! '
                "video/x-h264,stream-format=avc,alignment=au ! rtph264pay name=pay0 pt=96 )")
        factory.set_shared(False)

        def configure(_factory, media, name=name, audio=audio):
            def counter(key):
                def count(_pad, _info):
                    with lock:
                        counts[key] += 1
                        dirty[0] = True
                    return Gst.PadProbeReturn.OK

                return count

            element = media.get_element()
            element.get_by_name("pay0").get_static_pad("sink").add_probe(
                Gst.PadProbeType.BUFFER, counter(name))
            if audio:
                element.get_by_name("pay1").get_static_pad("sink").add_probe(
                    Gst.PadProbeType.BUFFER, counter(name + "/audio"))

        factory.connect("media-configure", configure)
        mounts.add_factory("/" + name, factory)
    with lock:
        dirty[0] = True
    write_stats()

    loop = GLib.MainLoop()
    if server.attach(None) == 0:
        print("cannot listen", flush=True)
        sys.exit(1)
    GLib.timeout_add(50, write_stats)
    for sig in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_HIGH, sig, loop.quit)
    print(f"port {server.get_bound_port()}", flush=True)
    loop.run()
    write_stats()


if __name__ == "__main__":
    main()
