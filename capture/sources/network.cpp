// Network streams as the viewer sees them: the host and port a URL names, URLs as other players'
// users type them, and a look of our own at why a server cannot be reached, where GStreamer
// says only that connecting failed.
#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "capture/sources/internal.h"

namespace {

// Long enough for a server across the world, short enough that the reason is there within 3 s.
constexpr guint kConnectTimeoutS = 2;
// How many times a check given up is run on, without waiting, for its cancellation to land.
constexpr int kCancelIterations = 20;

struct Scheme {
  const char* name;
  int port;  // its well-known port, used when the URL names none
  bool tls;
};
constexpr Scheme kTcpSchemes[] = {
    {"rtsp", 554, false}, {"rtspt", 554, false}, {"rtsps", 322, true}, {"rtmp", 1935, false},
    {"rtmps", 443, true}, {"http", 80, false},   {"https", 443, true}, {"tcp", 0, false}};

constexpr int kSrtMaxLatencyMs = 60000;
// SRT's own default latency, which other players keep; srtsrc's is 125 ms.
constexpr const char* kSrtLatencyMs = "120";

// SRT's own connection timeout (SRTO_CONNTIMEO), which srtsrc leaves as it is.
constexpr int kSrtConnectTimeoutS = 3;

std::string schemeOf(const std::string& url) {
  std::string scheme = url.substr(0, url.find("://"));
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return scheme;
}

// The host after "://" and the port as written, none where no colon follows the host. False
// where an IPv6 address's bracket is not closed.
bool splitAuthority(const std::string& url, std::string* host, std::optional<std::string>* port) {
  const size_t mark = url.find("://");
  if (mark == std::string::npos) return false;
  std::string authority = url.substr(mark + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  authority =
      authority.substr(authority.rfind('@') == std::string::npos ? 0 : authority.rfind('@') + 1);
  size_t colon = authority.rfind(':');
  *host = authority;
  if (!authority.empty() && authority[0] == '[') {  // [::1]:8554
    const size_t close = authority.find(']');
    if (close == std::string::npos) return false;
    *host = authority.substr(1, close - 1);
    colon = authority.find(':', close);
  } else if (colon != std::string::npos) {
    *host = authority.substr(0, colon);
  }
  if (colon != std::string::npos) *port = authority.substr(colon + 1);
  return true;
}

// The host and port after "://", `port` where the URL names none.
bool parseEndpoint(const std::string& url, int port, Endpoint* endpoint) {
  std::string host;
  std::optional<std::string> written;
  if (!splitAuthority(url, &host, &written)) return false;
  if (written) {
    char* end = nullptr;
    port = static_cast<int>(std::strtol(written->c_str(), &end, 10));
    if (*end != '\0') return false;
  }
  if (host.empty() || port < 1 || port > 65535) return false;
  endpoint->host = host;
  endpoint->port = port;
  return true;
}

}  // namespace

bool tcpEndpoint(const std::string& url, Endpoint* endpoint) {
  for (const Scheme& known : kTcpSchemes) {
    if (schemeOf(url) == known.name) {
      endpoint->tls = known.tls;
      return parseEndpoint(url, known.port, endpoint);
    }
  }
  return false;
}

namespace {

// An SRT URL split at its settings. As ffmpeg reads them, a # among the settings is part of a
// value (as in the access-control form streamid=#!::r=cam); one before any ? begins a fragment.
struct SettingsSplit {
  std::string before;  // up to the ?, or the whole URL before its fragment
  bool hasSettings = false;
  std::string settings;  // after the ?
  std::string fragment;  // from the #, where no ? comes before it
};

SettingsSplit splitSettings(const std::string& url) {
  SettingsSplit split;
  const size_t fragment = std::min(url.find('#'), url.size());
  const size_t query = url.find('?');
  if (query < fragment) {
    split.before = url.substr(0, query);
    split.hasSettings = true;
    split.settings = url.substr(query + 1);
  } else {
    split.before = url.substr(0, fragment);
    split.fragment = url.substr(fragment);
  }
  return split;
}

// The value of the last `key` among the settings, as written; none where it is not given.
std::optional<std::string> settingOf(const SettingsSplit& split, const std::string& key) {
  const std::string settings = "&" + split.settings;
  const size_t at = settings.rfind("&" + key + "=");
  if (at == std::string::npos) return std::nullopt;
  const size_t start = at + key.size() + 2;
  return settings.substr(start, settings.find('&', start) - start);
}

}  // namespace

std::string srtFault(const std::string& url, const std::string& warning) {
  Endpoint endpoint;
  if (schemeOf(url) != "srt" || !parseEndpoint(url, 0, &endpoint)) return "";
  const std::string where = endpointText(endpoint);
  const SettingsSplit split = splitSettings(url);
  // In rendezvous, the other side calls too: a peer, not a listener.
  // SRT waits ten times as long for a peer as for a listener.
  const bool rendezvous = settingOf(split, "mode") == "rendezvous";
  const std::string peer = rendezvous ? "peer" : "listener";
  if (warning.find("Connection timeout") != std::string::npos) {
    return "no SRT " + peer + " answered at " + where + " in " +
           std::to_string(kSrtConnectTimeoutS * (rendezvous ? 10 : 1)) + " s";
  }
  // SRT says the same when only one side has a passphrase, whichever it is.
  if (warning.find("Password required or unexpected") != std::string::npos) {
    return "the SRT " + peer + " at " + where +
           (settingOf(split, "passphrase") ? " takes no passphrase" : " wants a passphrase");
  }
  if (warning.find("passphrase") != std::string::npos ||
      warning.find("authenticate") != std::string::npos) {
    return "the SRT " + peer + " at " + where + " refused the passphrase";
  }
  // A code of the other side's own, which srtsrc does not pass on: a server's access control
  // refuses callers mostly for the stream ID they ask for.
  if (warning.find("Application-defined rejection reason") != std::string::npos) {
    const std::optional<std::string> id = settingOf(split, "streamid");
    return "the SRT " + peer + " at " + where +
           (id && !id->empty()
                ? " refused this stream ID (or the caller, for a reason of its own)"
                : " refused a caller without a stream ID (or for a reason of its own)");
  }
  // srtsrc calls again at once, again and again, after any other refusal, and after the other
  // side has gone.
  if (warning.find("Trying to reconnect") != std::string::npos) {
    return "the SRT " + peer + " at " + where + " refused or ended the connection";
  }
  return "";
}

namespace {

bool isNumber(const std::string& text, size_t digits) {
  return !text.empty() && text.size() <= digits &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

std::string portFault(const std::string& url) {
  const std::string scheme = schemeOf(url);
  if (scheme != "udp" && scheme != "srt") return "";
  // udpsrc takes the port modulo 65536, or any free one where none is named; srtsrc calls
  // port 0 until it times out.
  std::string host;
  std::optional<std::string> port;
  if (splitAuthority(url, &host, &port) && port && isNumber(*port, 5) && std::stoi(*port) >= 1 &&
      std::stoi(*port) <= 65535) {
    return "";
  }
  return scheme == "srt" ? "an SRT URL needs a port from 1 to 65535"
                         : "a UDP URL needs a port from 1 to 65535";
}

std::string srtSettingsFault(const std::string& url) {
  const SettingsSplit split = splitSettings(url);
  if (schemeOf(url) != "srt" || !split.hasSettings) return "";
  const std::string& settings = split.settings;
  for (size_t at = 0; at <= settings.size();) {
    const size_t end = std::min(settings.find('&', at), settings.size());
    const std::string setting = settings.substr(at, end - at);
    at = end + 1;
    const size_t equals = setting.find('=');
    const std::string key = setting.substr(0, equals);
    // srtsrc crashes on some settings without a value (pbkeylen, localport).
    if (equals == std::string::npos && !key.empty() && key != "passphrase" && key != "mode") {
      return "the SRT setting " + key + " has no value";
    }
    gchar* decoded = g_uri_unescape_string(
        equals == std::string::npos ? "" : setting.c_str() + equals + 1, nullptr);
    const std::string value = decoded != nullptr ? decoded : "";
    g_free(decoded);
    // Anything else makes srtsrc give up with GStreamer's own words, or go on unencrypted.
    if (key == "passphrase" && (value.size() < 10 || value.size() > 79)) {
      return "an SRT passphrase is 10 to 79 characters";
    }
    // ffmpeg's SRT URLs give microseconds: latency=120000 would hold every picture 2 minutes.
    if (key == "latency" && (!isNumber(value, 9) || std::stoi(value) > kSrtMaxLatencyMs)) {
      return "an SRT latency is a number of milliseconds up to 60000";
    }
    if (key == "mode" && value != "caller" && value != "listener" && value != "rendezvous") {
      return "an SRT mode is caller, listener or rendezvous";
    }
    // srtsrc gives up with GStreamer's own words for these, or takes its default unsaid.
    if (key == "pbkeylen" && value != "0" && value != "16" && value != "24" && value != "32") {
      return "an SRT pbkeylen is 0, 16, 24 or 32";
    }
    if (key == "localport" &&
        (!isNumber(value, 5) || std::stoi(value) < 1 || std::stoi(value) > 65535)) {
      return "an SRT localport is a port from 1 to 65535";
    }
    if (key == "poll-timeout" && !isNumber(value, 9)) {
      return "an SRT poll-timeout is a number of milliseconds";
    }
  }
  return "";
}

std::string endpointText(const Endpoint& endpoint) {
  const bool ipv6 = endpoint.host.find(':') != std::string::npos;
  return (ipv6 ? "[" + endpoint.host + "]" : endpoint.host) + ":" + std::to_string(endpoint.port);
}

std::string gstreamerUrl(const std::string& typed) {
  // Schemes are the same in any case; GStreamer's elements take them in lower case only.
  const size_t mark = typed.find("://");
  const std::string url = mark == std::string::npos ? typed : schemeOf(typed) + typed.substr(mark);
  // VLC's and ffmpeg's users write udp://@:PORT for any address and udp://@GROUP:PORT for a
  // multicast group; udpsrc takes neither.
  if (url.rfind("udp://@:", 0) == 0) return "udp://0.0.0.0:" + url.substr(8);
  if (url.rfind("udp://@", 0) == 0) return "udp://" + url.substr(7);
  if (schemeOf(url) != "srt") return url;
  const SettingsSplit split = splitSettings(url);
  // srtsrc would end the settings at a #.
  std::string settings;
  for (const char c : split.settings) settings += c == '#' ? std::string("%23") : std::string(1, c);
  if (!settingOf(split, "latency")) {
    settings += (split.hasSettings ? "&latency=" : "latency=") + std::string(kSrtLatencyMs);
  }
  return split.before + "?" + settings + split.fragment;
}

// The state of one check, shared with GIO's callback: a check given up before its callback ran
// leaves the state to the callback.
struct ReachCheck::State {
  Endpoint endpoint;
  GMainContext* context = nullptr;
  GCancellable* cancellable = nullptr;
  GSocketClient* client = nullptr;
  bool finished = false;
  bool abandoned = false;
  std::string fault;
  GTlsCertificateFlags certificateErrors = static_cast<GTlsCertificateFlags>(0);

  ~State() {
    g_object_unref(client);
    g_object_unref(cancellable);
    g_main_context_unref(context);
  }
};

namespace {

std::string faultOf(const GError* error, const Endpoint& endpoint, GTlsCertificateFlags flags) {
  const std::string where = endpointText(endpoint);
  if (error->domain == G_RESOLVER_ERROR) {
    return error->code == G_RESOLVER_ERROR_NOT_FOUND
               ? "no such host " + endpoint.host
               : "the name " + endpoint.host + " cannot be looked up now";
  }
  if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CONNECTION_REFUSED)) {
    return "connection refused at " + where + " (no server there)";
  }
  if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT)) return where + " does not answer";
  if (g_error_matches(error, G_TLS_ERROR, G_TLS_ERROR_BAD_CERTIFICATE)) {
    // A certificate that is trusted but made out for another name is another fault to mend.
    if (flags == G_TLS_CERTIFICATE_BAD_IDENTITY) {
      return "the TLS certificate of " + where + " names another host";
    }
    return "the TLS certificate of " + where + " is not trusted";
  }
  if (g_error_matches(error, G_TLS_ERROR, G_TLS_ERROR_NOT_TLS))
    return where + " does not speak TLS";
  if (error->domain == G_TLS_ERROR) return where + " failed the TLS handshake";
  if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_HOST_UNREACHABLE) ||
      g_error_matches(error, G_IO_ERROR, G_IO_ERROR_NETWORK_UNREACHABLE)) {
    return where + " cannot be reached from here";
  }
  return "";
}

// What is wrong with the server's certificate, kept for the reason; it is refused as
// GStreamer's elements refuse it.
gboolean refuseCertificate(GTlsConnection*, GTlsCertificate*, GTlsCertificateFlags errors,
                           gpointer data) {
  static_cast<ReachCheck::State*>(data)->certificateErrors = errors;
  return FALSE;
}

void handshaking(GSocketClient*, GSocketClientEvent event, GSocketConnectable*,
                 GIOStream* connection, gpointer data) {
  if (event == G_SOCKET_CLIENT_TLS_HANDSHAKING && G_IS_TLS_CONNECTION(connection)) {
    g_signal_connect(connection, "accept-certificate", G_CALLBACK(refuseCertificate), data);
  }
}

void connected(GObject* client, GAsyncResult* result, gpointer data) {
  auto* state = static_cast<ReachCheck::State*>(data);
  GError* error = nullptr;
  GSocketConnection* connection =
      g_socket_client_connect_to_host_finish(G_SOCKET_CLIENT(client), result, &error);
  if (connection != nullptr) {
    // Closing a connected socket does not wait.
    g_io_stream_close(G_IO_STREAM(connection), nullptr, nullptr);
    g_object_unref(connection);
  }
  if (error != nullptr) {
    state->fault = faultOf(error, state->endpoint, state->certificateErrors);
    g_error_free(error);
  }
  state->finished = true;
  if (state->abandoned) delete state;
}

}  // namespace

void trustCertificatesFromEnvironment() {
  static const bool once = [] {
    // As OpenSSL's users know it: the certificates to trust instead of the system's, so that a
    // camera or a server with a certificate of its own (or of a private authority) is reached
    // over TLS. GStreamer's elements all take GIO's default database.
    const char* path = std::getenv("SSL_CERT_FILE");
    if (path == nullptr || *path == '\0') return true;
    // GIO's file database takes an absolute path only.
    char* absolute = realpath(path, nullptr);
    struct stat info;
    if (absolute == nullptr || stat(absolute, &info) != 0 || access(absolute, R_OK) != 0) {
      std::fprintf(stderr,
                   "lumivane: cannot read SSL_CERT_FILE %s: %s; trusting the system's "
                   "certificates\n",
                   path, std::strerror(errno));
      std::free(absolute);
      return true;
    }
    // A pipe or a device would be read for ever.
    if (!S_ISREG(info.st_mode)) {
      std::fprintf(stderr,
                   "lumivane: SSL_CERT_FILE %s is not a regular file; trusting the system's "
                   "certificates\n",
                   path);
      std::free(absolute);
      return true;
    }
    GList* certificates = g_tls_certificate_list_new_from_file(absolute, nullptr);
    const bool any = certificates != nullptr;
    g_list_free_full(certificates, g_object_unref);
    GTlsDatabase* database = any ? g_tls_file_database_new(absolute, nullptr) : nullptr;
    std::free(absolute);
    if (database == nullptr) {
      std::fprintf(stderr,
                   "lumivane: SSL_CERT_FILE %s holds no readable certificates in PEM; trusting the "
                   "system's certificates\n",
                   path);
      return true;
    }
    g_tls_backend_set_default_database(g_tls_backend_get_default(), database);
    g_object_unref(database);
    return true;
  }();
  (void)once;
}

ReachCheck::ReachCheck(const Endpoint& endpoint) : state_(new State) {
  trustCertificatesFromEnvironment();
  state_->endpoint = endpoint;
  state_->context = g_main_context_new();
  state_->cancellable = g_cancellable_new();
  state_->client = g_socket_client_new();
  g_socket_client_set_timeout(state_->client, kConnectTimeoutS);
  // The question is whether the server itself is there, not a proxy.
  g_socket_client_set_enable_proxy(state_->client, FALSE);
  // GStreamer's elements say nothing of a certificate they refuse: the handshake is ours too.
  g_socket_client_set_tls(state_->client, endpoint.tls);
  g_signal_connect(state_->client, "event", G_CALLBACK(handshaking), state_);
  // The name is looked up and connected to on GLib's worker threads; the outcome comes back
  // on a context of our own, run only by done(), so nothing here ever waits.
  g_main_context_push_thread_default(state_->context);
  g_socket_client_connect_to_host_async(state_->client, endpoint.host.c_str(),
                                        static_cast<guint16>(endpoint.port), state_->cancellable,
                                        connected, state_);
  g_main_context_pop_thread_default(state_->context);
}

ReachCheck::~ReachCheck() {
  if (!state_->finished) {
    g_cancellable_cancel(state_->cancellable);
    for (int i = 0; i < kCancelIterations && !state_->finished; ++i) {
      g_main_context_iteration(state_->context, FALSE);
    }
  }
  if (state_->finished) {
    delete state_;
  } else {
    state_->abandoned = true;  // the callback, should it ever run, frees it
  }
}

bool ReachCheck::done(std::string* fault) {
  while (!state_->finished && g_main_context_iteration(state_->context, FALSE)) {
  }
  if (state_->finished) *fault = state_->fault;
  return state_->finished;
}
