#include "serve/page_server.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

#include "serve/connection.h"
#include "serve/page_files.h"

namespace quillmend::tool::serve {
namespace {

namespace fs = std::filesystem;
using httplib::Request;
using httplib::Response;
using Json = nlohmann::ordered_json;

constexpr char kJsonType[] = "application/json";
// Room for the multipart boundaries and the small fields beside the recordings.
constexpr std::uint64_t kMultipartOverhead = 64 * 1024;
constexpr std::size_t kMaxFieldBytes = 64;
constexpr char kIdPattern[] = "([0-9a-f]{32})";
constexpr char kUploadPath[] = "/api/repairs";
constexpr char kRateCall[] = "/rate";
// A rate call's body: a rate and a track number, with room for a client's own spelling of them.
constexpr std::uint64_t kMaxRateBody = 1024;
// A browser takes a few seconds to start; the address it was handed is no good after that.
constexpr std::chrono::minutes kOneTimeCodeLifetime{5};

void SendJson(Response& res, int status, const Json& body) {
  res.status = status;
  res.set_content(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), kJsonType);
}

void SendError(Response& res, int status, const std::string& message) {
  SendJson(res, status, {{"error", message}});
}

const char* StateName(RepairState state) {
  switch (state) {
    case RepairState::kReceiving:
    case RepairState::kQueued:
      return "queued";
    case RepairState::kRunning:
      return "running";
    case RepairState::kDone:
      return "done";
    case RepairState::kFailed:
      return "failed";
  }
  return "failed";
}

const char* ContentType(std::string_view name) {
  if (name.ends_with(".html")) return "text/html; charset=utf-8";
  if (name.ends_with(".css")) return "text/css; charset=utf-8";
  if (name.ends_with(".js")) return "text/javascript; charset=utf-8";
  if (name.ends_with(".svg")) return "image/svg+xml";
  return "application/octet-stream";
}

// The client's file name, for display only: no control characters, no folders, not too long.
std::string DisplayName(const std::string& filename) {
  std::string name = filename.substr(
      filename.find_last_of("/\\") == std::string::npos ? 0 : filename.find_last_of("/\\") + 1);
  std::erase_if(name, [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
  if (name.size() > 200) name.resize(200);
  return name.empty() ? "recording.m4a" : name;
}

// A Content-Disposition value that no file name can break: an ASCII fallback and the UTF-8 name.
std::string Disposition(const char* kind, const std::string& name) {
  std::string ascii;
  std::string encoded;
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    const bool plain = std::isalnum(byte) || std::strchr("-._ ", c) != nullptr;
    ascii += plain && byte < 0x80 ? c : '_';
    if (plain && byte < 0x80 && c != ' ') {
      encoded += c;
    } else {
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 0xF];
    }
  }
  return std::string(kind) + "; filename=\"" + ascii + "\"; filename*=UTF-8''" + encoded;
}

std::optional<qm_method> ParseMethod(const std::string& text) {
  qm_method method = QM_METHOD_EXACT;
  if (text.empty() || qm_method_from_name(text.c_str(), &method) == 0) return method;
  return std::nullopt;
}

std::optional<std::uint32_t> ParseRate(const std::string& text) {
  if (text.empty() || text == "auto") return 0;
  if (text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const auto rate = static_cast<std::uint32_t>(std::stoul(text));
  if (rate != 0 && !qm_rate_is_valid(rate)) return std::nullopt;
  return rate;
}

// A whole number that fits, written as digits only.
std::optional<std::uint32_t> ParseNumber(const std::string& text) {
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::uint32_t> ParseTrack(const std::string& text) {
  if (text.empty() || text == "all") return 0;
  const auto track = ParseNumber(text);
  if (!track || *track > 255) return std::nullopt;
  return track;
}

std::optional<bool> ParseFlag(const std::string& text) {
  if (text.empty() || text == "0" || text == "false" || text == "off") return false;
  if (text == "1" || text == "true" || text == "on") return true;
  return std::nullopt;
}

std::uint64_t FileSize(const fs::path& path) {
  std::error_code error;
  const std::uintmax_t size = fs::file_size(path, error);
  return error ? 0 : size;
}

bool HasBody(const Request& req) {
  const std::string length = req.get_header_value("Content-Length");
  return req.has_header("Transfer-Encoding") || (!length.empty() && length != "0");
}

// POST /api/repairs/<id>/rate, whose small body is read whole.
bool IsRateCall(const Request& req) {
  constexpr std::size_t kLength =
      std::string_view("/api/repairs/").size() + 32 + std::string_view(kRateCall).size();
  return req.method == "POST" && req.path.size() == kLength &&
         req.path.starts_with("/api/repairs/") && req.path.ends_with(kRateCall);
}

bool SmallBody(const Request& req) {
  const auto length = ParseNumber(req.get_header_value("Content-Length"));
  return !req.has_header("Transfer-Encoding") && length && *length <= kMaxRateBody;
}

// The rate call's fields, from a JSON object or a form: numbers, or their digits as text.
std::map<std::string, std::string> RateFields(const Request& req) {
  std::map<std::string, std::string> fields;
  const std::string type = req.get_header_value("Content-Type");
  if (type.starts_with("application/json")) {
    const Json body = Json::parse(req.body, nullptr, false);
    if (!body.is_object()) return fields;
    for (const char* key : {"rate", "track"}) {
      if (!body.contains(key)) continue;
      const Json& value = body[key];
      // Anything else (a negative or fractional number, a list) is no rate or track at all.
      fields[key] = value.is_number_unsigned() ? std::to_string(value.get<std::uint64_t>())
                    : value.is_string()        ? value.get<std::string>()
                                               : "?";
    }
    return fields;
  }
  httplib::Params params;
  httplib::detail::parse_query_text(req.body, params);
  for (const auto& [key, value] : params) fields.emplace(key, value);
  return fields;
}

const PageFile* FindPageFile(std::string_view name) {
  for (std::size_t i = 0; i < kPageFileCount; ++i) {
    if (name == kPageFiles[i].name) return &kPageFiles[i];
  }
  return nullptr;
}

void SendPage(Response& res, int status) {
  const PageFile* index = FindPageFile("index.html");
  res.status = status;
  res.set_content(reinterpret_cast<const char*>(index->data), index->size, ContentType("x.html"));
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

void SendLimited(Response& res, std::chrono::seconds wait) {
  res.set_header("Retry-After", std::to_string(wait.count()));
  SendError(res, 429,
            "too many wrong tokens came from this address: try again in " +
                std::to_string(wait.count()) + " s");
}

// The bytes of one range, or all of them.
struct ByteRange {
  enum class Kind { kWhole, kPart, kUnsatisfiable } kind;
  std::uint64_t first = 0;
  std::uint64_t length = 0;
};

// One range of the forms first-last, first- and -suffix. Several at once, which players do not
// ask for, get the whole file: one answer, and nothing for a client to multiply. A range that
// cannot be read as one is left aside, as if none had been asked for.
ByteRange ChooseRange(std::string_view header, std::uint64_t size) {
  const ByteRange whole{ByteRange::Kind::kWhole, 0, size};
  constexpr std::string_view kUnit = "bytes=";
  if (header.size() < kUnit.size() ||
      !std::equal(kUnit.begin(), kUnit.end(), header.begin(), [](char a, char b) {
        return a == std::tolower(static_cast<unsigned char>(b));
      })) {
    return whole;
  }
  const std::string_view wanted = Trim(header.substr(kUnit.size()));
  const std::size_t dash = wanted.find('-');
  if (wanted.find(',') != std::string_view::npos || dash == std::string_view::npos) return whole;
  // A number too large to hold is larger than any file: it is kept as the largest there is.
  auto number = [](std::string_view digits, std::uint64_t* value) {
    digits = Trim(digits);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
      return false;
    }
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), *value);
    if (error == std::errc::result_out_of_range) *value = std::numeric_limits<std::uint64_t>::max();
    return true;
  };
  std::uint64_t first = 0;
  std::uint64_t last = std::numeric_limits<std::uint64_t>::max();
  const std::string_view from = Trim(wanted.substr(0, dash));
  const std::string_view to = Trim(wanted.substr(dash + 1));
  if (from.empty()) {
    std::uint64_t suffix = 0;
    if (!number(to, &suffix)) return whole;
    if (suffix == 0) return {ByteRange::Kind::kUnsatisfiable};
    const std::uint64_t length = std::min(suffix, size);
    return {ByteRange::Kind::kPart, size - length, length};
  }
  if (!number(from, &first) || (!to.empty() && !number(to, &last)) || last < first) return whole;
  if (first >= size) return {ByteRange::Kind::kUnsatisfiable};
  last = std::min(last, size - 1);
  return {ByteRange::Kind::kPart, first, last - first + 1};
}

// The page's own path prefix, "/s/" and 32 hexadecimal digits, taken off the path: under it are
// the same files and calls as at the top.
void TakeScope(std::string& path) {
  constexpr std::size_t kScopeLength = 3 + 32 + 1;
  if (path.size() < kScopeLength || !path.starts_with("/s/") || path[kScopeLength - 1] != '/') {
    return;
  }
  const std::string_view id = std::string_view(path).substr(3, 32);
  if (id.find_first_not_of("0123456789abcdef") != std::string_view::npos) return;
  path.erase(0, kScopeLength - 1);
}

}  // namespace

bool IsLoopback(const std::string& host) {
  return host == "localhost" || host == "::1" || host == "[::1]" || host.starts_with("127.");
}

PageServer::PageServer(ServeSettings settings, RepairJobs& jobs)
    : settings_(std::move(settings)),
      jobs_(jobs),
      access_(settings_.token),
      http_(std::make_unique<ConnectionServer>(ConnectionLimits{})) {
  http_->set_payload_max_length(settings_.maxUploadBytes + kMultipartOverhead);
  http_->set_default_headers({
      {"X-Content-Type-Options", "nosniff"},
      // The page's addresses may carry the token or a one-time code: no other site may learn
      // them, frame the page or run code in it.
      {"Referrer-Policy", "no-referrer"},
      {"Content-Security-Policy",
       "default-src 'self'; img-src 'self' data:; media-src 'self'; object-src 'none'; "
       "frame-ancestors 'none'; base-uri 'none'; form-action 'self'"},
      {"Cache-Control", "no-store"},
  });
  Routes();
}

PageServer::~PageServer() = default;

int PageServer::Bind() {
  const std::string host = settings_.host == "[::1]" ? "::1" : settings_.host;
  if (settings_.port == 0) {
    port_ = http_->bind_to_any_port(host);
  } else {
    port_ = http_->bind_to_port(host, settings_.port) ? settings_.port : -1;
  }
  if (port_ >= 0) http_->WidenBacklog();
  return port_;
}

bool PageServer::Listen() { return http_->Stopping() || http_->listen_after_bind(); }

bool PageServer::Stop() { return http_->StopServing(); }

std::string PageServer::OneTimeCode() { return access_.NewOneTimeCode(kOneTimeCodeLifetime); }

bool PageServer::HostAllowed(const std::string& hostHeader) const {
  const std::string port = ":" + std::to_string(port_);
  const bool wildcard = settings_.host == "0.0.0.0" || settings_.host == "::";
  // A page from another site that had its name resolve to us sends that name: refusing it
  // keeps such a page from talking to the server.
  if (IsLoopback(settings_.host) || wildcard) {
    for (const char* name : {"127.0.0.1", "localhost", "[::1]"}) {
      if (hostHeader == name + port) return true;
    }
  }
  const std::string bound =
      settings_.host.find(':') != std::string::npos && settings_.host.front() != '['
          ? "[" + settings_.host + "]"
          : settings_.host;
  return hostHeader == bound + port;
}

bool PageServer::Refused(const Request& req, Response& res) {
  const std::string host = req.get_header_value("Host");
  if (!HostAllowed(host)) {
    SendError(res, 421, "this server answers only to the address it printed");
    return true;
  }
  // Only an upload has a body; any other would be read into memory whole, before any check.
  const bool upload = req.method == "POST" && req.path == kUploadPath;
  const bool rateCall = IsRateCall(req);
  if ((upload || rateCall) && req.has_header("Transfer-Encoding")) {
    SendError(res, 411, "send the body with its Content-Length");
    return true;
  }
  if (HasBody(req) && !upload && !(rateCall && SmallBody(req))) {
    SendError(res, 413,
              rateCall ? "a rate call takes a rate and a track" : "this request takes no body");
    return true;
  }
  if (!req.path.starts_with("/api/")) return false;

  // A browser says which site a request comes from; the API answers its own page only.
  const std::string fetchSite = req.get_header_value("Sec-Fetch-Site");
  const std::string authorization = req.get_header_value("Authorization");
  const bool changes = req.method != "GET" && req.method != "HEAD";
  if ((!fetchSite.empty() && fetchSite != "same-origin" && fetchSite != "none") ||
      (changes && !SameOriginChange(req.get_header_value("Origin"), fetchSite, host,
                                    authorization.starts_with("Bearer ")))) {
    SendError(res, 403, "only the page itself may do this");
    return true;
  }
  const AccessDecision decision = access_.Check(req.remote_addr, req.get_header_value("Cookie"),
                                                authorization, std::chrono::steady_clock::now());
  if (decision.verdict == Verdict::kLimited) {
    SendLimited(res, decision.retryAfter);
    return true;
  }
  if (decision.verdict != Verdict::kAllowed) {
    res.set_header("WWW-Authenticate", "Bearer");
    SendError(res, 401, "the access token is missing or wrong: open the address quillmend printed");
    return true;
  }
  return false;
}

void PageServer::LogIn(const Request& req, Response& res) {
  const Login login = access_.LogIn(req.remote_addr, req.get_param_value("token"),
                                    req.get_param_value("code"), std::chrono::steady_clock::now());
  switch (login.decision.verdict) {
    case Verdict::kAllowed:
      // The address with the token or the code leaves the address bar and the history.
      res.set_header("Set-Cookie", login.setCookie);
      res.set_redirect(access_.Scope(), 303);
      return;
    case Verdict::kLimited:
      res.set_header("Retry-After", std::to_string(login.decision.retryAfter.count()));
      return SendPage(res, 429);
    case Verdict::kUsedUp:
      std::fprintf(stderr,
                   "quillmend: the one-time address was opened a second time and refused; if you "
                   "did not open it twice, another program did: stop this server\n");
      return SendPage(res, 401);
    case Verdict::kUnauthorized:
      return SendPage(res, 401);
  }
}

void PageServer::Routes() {
  using httplib::Server;
  http_->SetHeadHandler([](Request& req) { TakeScope(req.path); });
  http_->set_pre_routing_handler([this](const Request& req, Response& res) {
    if (Refused(req, res)) return Server::HandlerResponse::Handled;
    if (req.method == "GET" && req.path == "/" &&
        (req.has_param("token") || req.has_param("code"))) {
      LogIn(req, res);
      return Server::HandlerResponse::Handled;
    }
    return Server::HandlerResponse::Unhandled;
  });
  // A client that waits to hear whether to send its body hears a refusal before sending it.
  http_->set_expect_100_continue_handler(
      [this](const Request& req, Response& res) { return Refused(req, res) ? res.status : 100; });
  http_->set_post_routing_handler([](const Request& req, Response& res) {
    // A refused body may still be on its way: the next request cannot be told from it.
    if (res.status >= 400 && HasBody(req)) {
      ConnectionServer::CloseAfterAnswer();
      res.headers.erase("Keep-Alive");
      res.set_header("Connection", "close");
    }
  });

  http_->Get("/([a-z]+\\.[a-z]+)?", [](const Request& req, Response& res) {
    const std::string name = req.matches[1].length() == 0 ? "index.html" : req.matches[1].str();
    if (const PageFile* file = FindPageFile(name)) {
      res.set_content(reinterpret_cast<const char*>(file->data), file->size, ContentType(name));
      return;
    }
    res.status = 404;
    res.set_content("Not found", "text/plain");
  });

  // For the page to tell whether it may use the API, before anyone drops a file on it.
  http_->Get("/api/session", [](const Request&, Response& res) { res.status = 204; });

  http_->Post(kUploadPath, [this](const Request& req, Response& res,
                                  const httplib::ContentReader& reader) {
    if (!req.is_multipart_form_data()) {
      return SendError(res, 415, "send the recording as multipart/form-data, in the field 'file'");
    }
    const std::optional<std::string> id = jobs_.Create();
    if (!id) return SendError(res, 503, "too many repairs are kept: remove some, then try again");
    const fs::path dir = jobs_.Directory(*id);

    // Each part goes straight to a file of ours under a fixed name, or into a short field.
    std::ofstream out;
    std::string part;
    std::string fileName;
    std::string sampleName;
    bool gotFile = false;
    bool gotSample = false;
    bool tooLarge = false;
    std::uint64_t received = 0;
    std::map<std::string, std::string> fields{
        {"rate", ""}, {"method", ""}, {"keep_timing", ""}, {"track", ""}};
    const bool read = reader(
        [&](const httplib::MultipartFormData& header) {
          out.close();
          part = header.name;
          if (part == "file" && !gotFile) {
            gotFile = true;
            fileName = header.filename;
            out.open(dir / RepairJobs::kDamagedFile, std::ios::binary);
          } else if (part == "sample" && !gotSample) {
            gotSample = true;
            sampleName = header.filename;
            out.open(dir / RepairJobs::kSampleFile, std::ios::binary);
          } else if (!fields.contains(part)) {
            part.clear();  // another field: read and dropped
          }
          return part.empty() || fields.contains(part) || out.is_open();
        },
        [&](const char* data, std::size_t size) {
          received += size;
          if (received > settings_.maxUploadBytes) {
            tooLarge = true;
            return false;
          }
          if (out.is_open()) return static_cast<bool>(out.write(data, size));
          if (part.empty()) return true;
          std::string& value = fields[part];
          value.append(data, size);
          return value.size() <= kMaxFieldBytes;
        });
    out.close();

    auto reject = [&](int status, const std::string& message) {
      jobs_.Remove(*id);
      SendError(res, status, message);
    };
    if (tooLarge || res.status == 413) {
      return reject(413, "the upload is larger than this server takes (" +
                             std::to_string(settings_.maxUploadBytes >> 20) + " MB)");
    }
    if (!read) return reject(400, "the upload was cut short or malformed");
    if (!gotFile || FileSize(dir / RepairJobs::kDamagedFile) == 0) {
      return reject(400, "no recording in the field 'file'");
    }
    RepairSettings settings;
    const auto method = ParseMethod(fields["method"]);
    const auto rate = ParseRate(fields["rate"]);
    const auto keepTiming = ParseFlag(fields["keep_timing"]);
    const auto track = ParseTrack(fields["track"]);
    if (!method) return reject(400, "method must be exact, general or advanced");
    if (!rate) return reject(400, "rate must be a sampling rate in Hz, such as 44100");
    if (!keepTiming) return reject(400, "keep_timing must be 0 or 1");
    if (!track) return reject(400, "track must be a track's number, or all");
    settings.method = *method;
    settings.rateHz = *rate;
    settings.keepTiming = *keepTiming;
    settings.track = *track;
    // A browser sends an empty part for a file input that was left empty.
    settings.withSample = gotSample && FileSize(dir / RepairJobs::kSampleFile) > 0;
    settings.sampleName = sampleName.empty() ? "" : DisplayName(sampleName);
    if (!jobs_.Start(*id, DisplayName(fileName), settings)) {
      return reject(410, "the repair was removed while it was uploaded");
    }
    res.set_header("Location", "/api/repairs/" + *id);
    SendJson(res, 202, {{"id", *id}});
  });

  const std::string repair = std::string("/api/repairs/") + kIdPattern;
  auto missing = [this](Response& res) {
    SendError(res, 404,
              "no such repair: finished repairs are removed after " +
                  std::to_string(settings_.keepFinished.count() / 60) + " minutes");
  };

  // The repair as it is now: the same for a look and for the answer to a change.
  auto state = [](const std::string& id, const RepairView& view) {
    Json body = {{"id", id},
                 {"status", StateName(view.state)},
                 {"progress", view.progress},
                 {"input", view.name}};
    const Json result = Json::parse(view.resultJson, nullptr, false);
    if (result.is_object()) {
      for (const auto& [key, value] : result.items()) body[key] = value;
    }
    return body;
  };

  http_->Get(repair, [this, missing, state](const Request& req, Response& res) {
    const std::string id = req.matches[1];
    const std::optional<RepairView> view = jobs_.View(id);
    if (!view) return missing(res);
    SendJson(res, 200, state(id, *view));
  });

  // A track by its number in the file (the first written when none is asked for), at a rate it
  // was written at (the one chosen now when none is asked for).
  auto trackOf = [](const Request& req) {
    return req.has_param("track") ? ParseNumber(req.get_param_value("track")) : 0;
  };

  http_->Get(repair + "/output", [this, missing, trackOf](const Request& req, Response& res) {
    const std::string id = req.matches[1];
    const std::optional<std::uint32_t> track = trackOf(req);
    const std::optional<std::uint32_t> rate =
        req.has_param("rate") ? ParseNumber(req.get_param_value("rate")) : 0;
    if (!track || !rate) return SendError(res, 400, "track and rate are numbers");
    const std::optional<TrackFile> output = jobs_.Output(id, *track, *rate);
    const std::uint64_t size = output ? FileSize(output->path) : 0;
    if (!output || size == 0) return missing(res);
    res.set_header("Content-Disposition",
                   Disposition(req.has_param("download") ? "attachment" : "inline", output->name));
    res.set_header("Accept-Ranges", "bytes");
    const ByteRange range = ChooseRange(req.get_header_value(ConnectionServer::kRangeHeader), size);
    if (range.kind == ByteRange::Kind::kUnsatisfiable) {
      res.status = 416;
      res.set_header("Content-Range", "bytes */" + std::to_string(size));
      return;
    }
    if (range.kind == ByteRange::Kind::kPart) {
      res.status = 206;
      res.set_header("Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                          std::to_string(range.first + range.length - 1) + "/" +
                                          std::to_string(size));
    }
    auto file = std::make_shared<std::ifstream>(output->path, std::ios::binary);
    res.set_content_provider(static_cast<std::size_t>(range.length), "audio/mp4",
                             [file, first = range.first](std::size_t offset, std::size_t length,
                                                         httplib::DataSink& sink) {
                               char buffer[64 * 1024];
                               file->seekg(static_cast<std::streamoff>(first + offset));
                               const std::size_t chunk = std::min(length, sizeof buffer);
                               if (!file->read(buffer, static_cast<std::streamsize>(chunk)))
                                 return false;
                               return sink.write(buffer, chunk);
                             });
  });

  http_->Get(repair + "/waveform", [this, missing, trackOf](const Request& req, Response& res) {
    const std::optional<std::uint32_t> track = trackOf(req);
    if (!track) return SendError(res, 400, "track is a number");
    const std::optional<std::vector<float>> peaks = jobs_.Waveform(req.matches[1], *track);
    if (!peaks) return missing(res);
    SendJson(res, 200, {{"peaks", *peaks}});
  });

  // Another rate for a track whose rate was not certain: one of those its frames fit.
  http_->Post(repair + kRateCall, [this, missing, state](const Request& req, Response& res) {
    const std::string id = req.matches[1];
    std::map<std::string, std::string> fields = RateFields(req);
    const std::optional<std::uint32_t> rate = ParseNumber(fields["rate"]);
    const std::optional<std::uint32_t> track = ParseTrack(fields["track"]);
    if (!rate || !track) {
      return SendError(res, 400, "send rate (in Hz) and, for a repair of several tracks, track");
    }
    const RateAnswer answer = jobs_.ChangeRate(id, *track, *rate);
    switch (answer) {
      case RateAnswer::kNoRepair:
        return missing(res);
      case RateAnswer::kBusy:
        return SendError(res, 409, "the repair, or a change of this track's rate, is not done yet");
      case RateAnswer::kNoTrack:
        return SendError(res, 400, "this repair gave back no track " + std::to_string(*track));
      case RateAnswer::kNotOffered:
        return SendError(res, 400,
                         "the rate " + std::to_string(*rate) + " Hz is not one offered for it");
      case RateAnswer::kSwitched:
      case RateAnswer::kStarted:
        break;
    }
    const std::optional<RepairView> view = jobs_.View(id);
    if (!view) return missing(res);
    // Started, it may have finished by now: the state says, and the client follows it.
    SendJson(res, answer == RateAnswer::kStarted ? 202 : 200, state(id, *view));
  });

  http_->Delete(repair, [this, missing](const Request& req, Response& res) {
    if (!jobs_.Remove(req.matches[1])) return missing(res);
    res.status = 204;
  });
}

}  // namespace quillmend::tool::serve
