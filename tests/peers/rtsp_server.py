#!/usr/bin/python3
"""A live H.264 camera for the tests and benchmarks: GStreamer's RTSP server on 127.0.0.1.

  rtsp_server.py PORT [--auth digest|basic] [--user U --password P] [--udp-only]
                 [--for SECONDS]

Serves a 640x360 test picture at 25 fps (a moving ball) on two paths: /gop2 with a
keyframe every 2 s and /gop10 with one every 10 s. Every client joins the one running stream
of its path, as with a camera: it must wait for the next keyframe or keep what it has. --udp-only
refuses RTSP over TCP (461). Prints
"ready PORT" once it listens; ends on SIGTERM, or after --for seconds (then its streams end).
"""
import argparse
import signal
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtsp", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtsp, GstRtspServer  # noqa: E402

PIPELINE = (
    "( videotestsrc is-live=true pattern=ball ! video/x-raw,width=640,height=360,framerate=25/1 "
    "! x264enc name=enc tune=zerolatency speed-preset=ultrafast key-int-max={gop} "
    "bitrate=800 ! rtph264pay name=pay0 pt=96 config-interval=-1 )"
)


def keep_keyframe_beat(_factory, media):
    """A joining client gets no keyframe of its own: neither its seek (the Range of its PLAY, which
    would flush the encoder) nor a request for one reaches the encoder."""

    def drop_requests(_pad, info):
        event = info.get_event()
        if event.type in (Gst.EventType.CUSTOM_UPSTREAM, Gst.EventType.CUSTOM_DOWNSTREAM):
            return Gst.PadProbeReturn.DROP
        return Gst.PadProbeReturn.OK

    def not_seekable(_pad, info):
        # Answered unchanged: a fresh seeking query says "not seekable".
        if info.get_query().type != Gst.QueryType.SEEKING:
            return Gst.PadProbeReturn.OK
        return Gst.PadProbeReturn.HANDLED

    encoder = media.get_element().get_by_name("enc")
    encoder.get_static_pad("src").add_probe(Gst.PadProbeType.QUERY_UPSTREAM, not_seekable)
    encoder.get_static_pad("src").add_probe(Gst.PadProbeType.EVENT_UPSTREAM, drop_requests)
    encoder.get_static_pad("sink").add_probe(Gst.PadProbeType.EVENT_DOWNSTREAM, drop_requests)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port", type=int)
    parser.add_argument("--auth", choices=["digest", "basic"])
    parser.add_argument("--user", default="cam")
    parser.add_argument("--password", default="s3cret")
    parser.add_argument("--udp-only", action="store_true")
    parser.add_argument("--for", dest="seconds", type=float, default=0)
    args = parser.parse_args()

    Gst.init(None)
    udp, tcp = GstRtsp.RTSPLowerTrans.UDP, GstRtsp.RTSPLowerTrans.TCP
    lower = udp if args.udp_only else udp | tcp
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(args.port))
    mounts = server.get_mount_points()
    for path, gop in (("/gop2", 50), ("/gop10", 250)):
        factory = GstRtspServer.RTSPMediaFactory()
        factory.set_launch(PIPELINE.format(gop=gop))
        factory.set_shared(True)
        factory.connect("media-configure", keep_keyframe_beat)
        factory.set_protocols(lower)
        if args.auth:
            permissions = GstRtspServer.RTSPPermissions()
            permissions.add_permission_for_role("cam", "media.factory.access", True)
            permissions.add_permission_for_role("cam", "media.factory.construct", True)
            factory.set_permissions(permissions)
        mounts.add_factory(path, factory)
    if args.auth:
        auth = GstRtspServer.RTSPAuth()
        token = GstRtspServer.RTSPToken()
        token.set_string("media.factory.role", "cam")
        if args.auth == "digest":
            auth.set_supported_methods(GstRtsp.RTSPAuthMethod.DIGEST)
            auth.add_digest(args.user, args.password, token)
        else:
            auth.set_supported_methods(GstRtsp.RTSPAuthMethod.BASIC)
            auth.add_basic(GstRtspServer.RTSPAuth.make_basic(args.user, args.password), token)
        server.set_auth(auth)
    if server.attach(None) == 0:
        print("cannot listen on port", args.port, file=sys.stderr)
        return 1
    # A camera's stream runs whether anyone watches or not: a client of our own keeps each path's
    # one shared stream playing from the start, so that others join it between keyframes.
    keepers = []
    flowing = set()
    for path in ("/gop2", "/gop10"):
        keeper = Gst.ElementFactory.make("rtspsrc")
        keeper.set_property("location", "rtsp://127.0.0.1:%d%s" % (server.get_bound_port(), path))
        keeper.set_property("protocols", udp if args.udp_only else tcp)
        keeper.set_property("user-id", args.user)
        keeper.set_property("user-pw", args.password)
        pipeline = Gst.Pipeline()
        sink = Gst.ElementFactory.make("fakesink")
        sink.set_property("signal-handoffs", True)
        sink.connect("handoff", lambda *_args, path=path: flowing.add(path))
        pipeline.add(keeper)
        pipeline.add(sink)
        keeper.connect("pad-added", lambda _src, pad, sink=sink: pad.link(sink.get_static_pad("sink")))
        pipeline.set_state(Gst.State.PLAYING)
        keepers.append(pipeline)
    loop = GLib.MainLoop()

    def announce():
        # "ready" once both streams flow: the keepers' sessions need the loop, so it looks from
        # there.
        if len(flowing) < len(keepers):
            return True
        print("ready", server.get_bound_port(), flush=True)
        return False

    GLib.timeout_add(20, announce)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGINT, loop.quit)
    if args.seconds > 0:
        GLib.timeout_add(int(args.seconds * 1000), loop.quit)
    loop.run()
    for pipeline in keepers:
        pipeline.set_state(Gst.State.NULL)
    return 0


if __name__ == "__main__":
    sys.exit(main())
