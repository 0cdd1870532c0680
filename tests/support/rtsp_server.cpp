// An RTSP server for the network tests, built on GStreamer's RTSP server library: it serves a
// clip at rtsp://127.0.0.1:PORT/live, from its start to each client, paced in real time.
// Usage: lumivane_rtsp_server PORT CLIP.mp4 [tcp] [USER:PASSWORD] [tls=CERTIFICATE_AND_KEY.pem]
// [clock]. With clock, it prints "playing MS" (the monotonic clock, in milliseconds) as a
// client's clip starts playing, which is when its first picture is sent: the delay benchmark's
// time of sending.
#include <gst/rtsp-server/rtsp-server.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  gst_init(&argc, &argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s PORT CLIP [tcp] [USER:PASSWORD] [tls=PEM] [clock]\n", argv[0]);
    return 2;
  }
  GstRTSPServer* server = gst_rtsp_server_new();
  gst_rtsp_server_set_address(server, "127.0.0.1");
  gst_rtsp_server_set_service(server, argv[1]);
  GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
  const std::string launch = std::string("( filesrc location=") + argv[2] +
                             " ! qtdemux ! h264parse config-interval=-1 ! rtph264pay name=pay0 "
                             "pt=96 config-interval=-1 )";
  gst_rtsp_media_factory_set_launch(factory, launch.c_str());
  gst_rtsp_media_factory_set_shared(factory, FALSE);
  // TLS or a password needs an authority, under which the role "viewer" may see the clip.
  GstRTSPAuth* auth = nullptr;
  GstRTSPToken* token =
      gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, "viewer", nullptr);
  for (int i = 3; i < argc; ++i) {
    const char* colon = std::strchr(argv[i], ':');
    if (std::strcmp(argv[i], "clock") == 0) {
      g_signal_connect(factory, "media-configure",
                       G_CALLBACK(+[](GstRTSPMediaFactory*, GstRTSPMedia* media, gpointer) {
                         g_signal_connect(
                             media, "new-state",
                             G_CALLBACK(+[](GstRTSPMedia*, gint state, gpointer) {
                               if (state != GST_STATE_PLAYING) return;
                               std::printf("playing %lld\n",
                                           static_cast<long long>(g_get_monotonic_time() / 1000));
                               std::fflush(stdout);
                             }),
                             nullptr);
                       }),
                       nullptr);
      continue;
    }
    if (std::strcmp(argv[i], "tcp") == 0) {
      gst_rtsp_media_factory_set_protocols(factory, GST_RTSP_LOWER_TRANS_TCP);
      continue;
    }
    if (auth == nullptr) auth = gst_rtsp_auth_new();
    if (std::strncmp(argv[i], "tls=", 4) == 0) {
      // RTSP over TLS, to anyone.
      GTlsCertificate* certificate = g_tls_certificate_new_from_file(argv[i] + 4, nullptr);
      gst_rtsp_auth_set_tls_certificate(auth, certificate);
      gst_rtsp_auth_set_default_token(auth, token);
    } else if (colon != nullptr) {
      // Basic authentication: only this user, with this password, may see the clip.
      const std::string user(argv[i], static_cast<size_t>(colon - argv[i]));
      gchar* basic = gst_rtsp_auth_make_basic(user.c_str(), colon + 1);
      gst_rtsp_auth_add_basic(auth, basic, token);
      g_free(basic);
    }
  }
  gst_rtsp_token_unref(token);
  if (auth != nullptr) {
    gst_rtsp_server_set_auth(server, auth);
    g_object_unref(auth);
    gst_rtsp_media_factory_add_role(factory, "viewer", GST_RTSP_PERM_MEDIA_FACTORY_ACCESS,
                                    G_TYPE_BOOLEAN, TRUE, GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT,
                                    G_TYPE_BOOLEAN, TRUE, nullptr);
  }
  gst_rtsp_mount_points_add_factory(gst_rtsp_server_get_mount_points(server), "/live", factory);
  if (gst_rtsp_server_attach(server, nullptr) == 0) {
    std::fprintf(stderr, "cannot listen on port %s\n", argv[1]);
    return 1;
  }
  g_main_loop_run(g_main_loop_new(nullptr, FALSE));
}
