#!/usr/bin/python3
"""Reads a movie with GStreamer the way playbin does (uridecodebin) and
writes what it shows: every video frame as I420 with its running time, and
the sound as 48 kHz mono 16-bit samples placed at their running times.

usage: gst_read.py MOVIE OUTPUT_FOLDER
writes video.yuv, video.txt (one running time in ns per frame, then the
frame size), audio.raw and duration.txt (ns)."""
import os
import sys
import gi

gi.require_version("Gst", "1.0")
from gi.repository import GLib, Gst  # noqa: E402

Gst.init(None)
movie, out = sys.argv[1], sys.argv[2]
uri = Gst.filename_to_uri(os.path.abspath(movie))
pipeline = Gst.parse_launch(
    f'uridecodebin uri="{uri}" name=d '
    "d. ! queue ! videoconvert ! video/x-raw,format=I420 ! appsink name=v sync=false emit-signals=true "
    "d. ! queue ! audioconvert ! audioresample ! "
    "audio/x-raw,format=S16LE,rate=48000,channels=1,layout=interleaved ! "
    "appsink name=a sync=false emit-signals=true")

frames = open(os.path.join(out, "video.yuv"), "wb")
times = []
audio = bytearray()


def running_time(sample, buffer):
    return sample.get_segment().to_running_time(Gst.Format.TIME, buffer.pts)


def on_video(sink):
    sample = sink.emit("pull-sample")
    buffer = sample.get_buffer()
    caps = sample.get_caps().get_structure(0)
    ok, info = buffer.map(Gst.MapFlags.READ)
    frames.write(bytes(info.data))
    buffer.unmap(info)
    times.append((running_time(sample, buffer), caps.get_value("width"), caps.get_value("height")))
    return Gst.FlowReturn.OK


def on_audio(sink):
    sample = sink.emit("pull-sample")
    buffer = sample.get_buffer()
    ok, info = buffer.map(Gst.MapFlags.READ)
    at = 2 * round(running_time(sample, buffer) * 48000 / Gst.SECOND)
    data = bytes(info.data)
    buffer.unmap(info)
    if at > len(audio):
        audio.extend(bytes(at - len(audio)))
    audio[at:at + len(data)] = data
    return Gst.FlowReturn.OK


pipeline.get_by_name("v").connect("new-sample", on_video)
pipeline.get_by_name("a").connect("new-sample", on_audio)
loop = GLib.MainLoop()
failed = []


def on_message(bus, message):
    if message.type == Gst.MessageType.EOS:
        loop.quit()
    elif message.type == Gst.MessageType.ERROR:
        failed.append(message.parse_error()[0].message)
        loop.quit()


bus = pipeline.get_bus()
bus.add_signal_watch()
bus.connect("message", on_message)
pipeline.set_state(Gst.State.PAUSED)
pipeline.get_state(10 * Gst.SECOND)
ok, duration = pipeline.query_duration(Gst.Format.TIME)
pipeline.set_state(Gst.State.PLAYING)
loop.run()
pipeline.set_state(Gst.State.NULL)
frames.close()
with open(os.path.join(out, "video.txt"), "w") as listing:
    for time, width, height in times:
        listing.write(f"{time} {width} {height}\n")
with open(os.path.join(out, "audio.raw"), "wb") as sound:
    sound.write(audio)
with open(os.path.join(out, "duration.txt"), "w") as length:
    length.write(f"{duration if ok else -1}\n")
if failed:
    print(failed[0], file=sys.stderr)
    sys.exit(1)
