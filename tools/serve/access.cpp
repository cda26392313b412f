#include "serve/access.h"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "serve/repair_jobs.h"

namespace quillmend::tool::serve {
namespace {

constexpr std::string_view kBearer = "Bearer ";
constexpr std::size_t kMaxTokenLength = 256;
constexpr std::size_t kMaxSessions = 64;
constexpr std::size_t kMaxCodes = 16;

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  if (text.empty()) return parts;
  for (std::size_t at = 0;;) {
    const std::size_t end = text.find(separator, at);
    parts.push_back(text.substr(at, end == std::string_view::npos ? end : end - at));
    if (end == std::string_view::npos) return parts;
    at = end + 1;
  }
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

std::string TokenProblem(const std::string& token) {
  if (token.size() < kMinTokenLength) {
    return "the token must be at least " + std::to_string(kMinTokenLength) + " characters long";
  }
  if (token.size() > kMaxTokenLength) {
    return "the token must be at most " + std::to_string(kMaxTokenLength) + " characters long";
  }
  if (token.find_first_not_of(
          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.") !=
      std::string::npos) {
    return "the token may hold letters, digits, '-', '_' and '.' only";
  }
  return {};
}

bool SameSecret(const std::string& a, const std::string& b) {
  unsigned char differ = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) {
    differ |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
  }
  return differ == 0;
}

std::string ClientKey(const std::string& address) {
  std::string_view text(address);
  text = text.substr(0, text.find('%'));  // the zone of a link-local address
  if (text.find(':') == std::string_view::npos) return std::string(text);
  // An IPv4 client of a dual-stack socket.
  if (text.starts_with("::ffff:") && text.find('.') != std::string_view::npos) {
    return std::string(text.substr(7));
  }
  const std::size_t gap = text.find("::");
  std::vector<std::string_view> groups = Split(text.substr(0, gap), ':');
  if (gap != std::string_view::npos) {
    const std::vector<std::string_view> tail = Split(text.substr(gap + 2), ':');
    while (groups.size() + tail.size() < 8) groups.push_back("0");
    groups.insert(groups.end(), tail.begin(), tail.end());
  }
  std::string key;
  for (std::size_t i = 0; i < 4 && i < groups.size(); ++i) {
    key += std::string(groups[i]) + ":";
  }
  return key + ":/64";
}

GuessLimiter::GuessLimiter(double freeGuesses, Clock::duration refill, std::size_t maxClients)
    : freeGuesses_(freeGuesses), refill_(refill), maxClients_(maxClients) {}

GuessLimiter::Bucket& GuessLimiter::Refilled(const std::string& client, Clock::time_point now) {
  auto regain = [&](Bucket& bucket) {
    const double regained = std::chrono::duration<double>(now - bucket.updated) /
                            std::chrono::duration<double>(refill_);
    bucket.guesses = std::min(freeGuesses_, bucket.guesses + regained);
    bucket.updated = now;
  };
  auto found = buckets_.find(client);
  if (found == buckets_.end()) {
    if (buckets_.size() >= maxClients_) {
      // Full buckets tell nothing; without one, the client heard from longest ago goes.
      for (auto it = buckets_.begin(); it != buckets_.end();) {
        regain(it->second);
        it = it->second.guesses >= freeGuesses_ ? buckets_.erase(it) : std::next(it);
      }
      if (buckets_.size() >= maxClients_) {
        buckets_.erase(std::min_element(buckets_.begin(), buckets_.end(), [](auto& a, auto& b) {
          return a.second.updated < b.second.updated;
        }));
      }
    }
    found = buckets_.emplace(client, Bucket{freeGuesses_, now}).first;
  }
  regain(found->second);
  return found->second;
}

std::chrono::seconds GuessLimiter::Wait(const std::string& client, Clock::time_point now) {
  if (!buckets_.contains(client)) return std::chrono::seconds(0);
  const Bucket& bucket = Refilled(client, now);
  if (bucket.guesses >= 1) return std::chrono::seconds(0);
  const double seconds = (1 - bucket.guesses) * std::chrono::duration<double>(refill_).count();
  return std::chrono::seconds(static_cast<long long>(std::ceil(seconds)));
}

void GuessLimiter::Wrong(const std::string& client, Clock::time_point now) {
  Bucket& bucket = Refilled(client, now);
  bucket.guesses = std::max(0.0, bucket.guesses - 1);
}

Access::Access(std::string token)
    : token_(std::move(token)),
      scope_("/s/" + RandomHex(16) + "/"),
      // Ten wrong guesses at once, then one every two seconds.
      limiter_(10, std::chrono::seconds(2), 1024) {}

std::string Access::NewOneTimeCode(Clock::duration lifetime) {
  std::lock_guard lock(mutex_);
  const Clock::time_point now = Clock::now();
  std::erase_if(codes_, [&](const auto& entry) { return entry.second.expires <= now; });
  if (codes_.size() >= kMaxCodes) codes_.erase(codes_.begin());
  std::string code = RandomHex(16);
  codes_[code] = Code{now + lifetime, false};
  return code;
}

std::string Access::NewSession() {
  if (sessions_.size() >= kMaxSessions) sessions_.erase(sessions_.begin());
  sessions_.push_back(RandomHex(32));
  return std::string(kCookie) + "=" + sessions_.back() + "; Path=" + scope_ +
         "; HttpOnly; SameSite=Strict";
}

bool Access::HasSession(const std::string& cookieHeader) const {
  bool found = false;
  for (const std::string_view pair : Split(cookieHeader, ';')) {
    const std::string_view cookie = TrimBlanks(pair);
    if (!cookie.starts_with(kCookie) || cookie.substr(std::size(kCookie) - 1, 1) != "=") continue;
    const std::string value(cookie.substr(std::size(kCookie)));
    for (const std::string& session : sessions_) found |= SameSecret(value, session);
  }
  return found;
}

Login Access::LogIn(const std::string& client, const std::string& token, const std::string& code,
                    Clock::time_point now) {
  std::lock_guard lock(mutex_);
  const std::string key = ClientKey(client);
  if (const auto wait = limiter_.Wait(key, now); wait.count() > 0) {
    return {{Verdict::kLimited, wait}, ""};
  }
  if (!token.empty() && SameSecret(token, token_)) return {{Verdict::kAllowed}, NewSession()};
  if (!code.empty()) {
    for (auto& [known, state] : codes_) {
      if (!SameSecret(code, known) || state.expires <= now) continue;
      if (state.used) return {{Verdict::kUsedUp}, ""};
      state.used = true;
      return {{Verdict::kAllowed}, NewSession()};
    }
  }
  limiter_.Wrong(key, now);
  return {{Verdict::kUnauthorized}, ""};
}

AccessDecision Access::Check(const std::string& client, const std::string& cookieHeader,
                             const std::string& authorization, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  // A session is 256 random bits, out of reach of guessing: it is looked at even for a client
  // whose guesses at the token are refused, so that a page that logged in keeps working.
  if (HasSession(cookieHeader)) return {Verdict::kAllowed};
  if (!authorization.starts_with(kBearer)) return {Verdict::kUnauthorized};
  const std::string key = ClientKey(client);
  if (const auto wait = limiter_.Wait(key, now); wait.count() > 0) {
    return {Verdict::kLimited, wait};
  }
  if (SameSecret(authorization.substr(kBearer.size()), token_)) return {Verdict::kAllowed};
  limiter_.Wrong(key, now);
  return {Verdict::kUnauthorized};
}

bool SameOriginChange(const std::string& origin, const std::string& fetchSite,
                      const std::string& hostHeader, bool tokenInHeader) {
  if (!fetchSite.empty() && fetchSite != "same-origin") return false;
  if (!origin.empty()) return origin == "http://" + hostHeader;
  return !fetchSite.empty() || tokenInHeader;
}

}  // namespace quillmend::tool::serve
