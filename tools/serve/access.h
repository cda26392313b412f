#pragma once
// Who may use the local page's server: whoever has the token the server printed, and the
// browsers that exchanged the page's address for a session cookie. Wrong guesses are counted
// per client address and refused once there were too many.
#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace quillmend::tool::serve {

// The shortest token taken: even at the unthrottled rate of several thousand guesses a second,
// 16 hexadecimal digits (64 bits) would take millions of years to guess.
constexpr std::size_t kMinTokenLength = 16;
// Why a token cannot be used ("" when it can): too short, or characters that need quoting in an
// address.
std::string TokenProblem(const std::string& token);

// Comparing every byte, so that the time taken tells nothing about how much of a guess matched.
bool SameSecret(const std::string& a, const std::string& b);

// The part of a client's address that a limit is kept for: an IPv4 address, or the /64 network
// of an IPv6 one, which a single machine can change its address within.
std::string ClientKey(const std::string& address);

// A bucket of guesses per client: a few free, then one more every `refill`; a bounded table.
class GuessLimiter {
 public:
  using Clock = std::chrono::steady_clock;
  GuessLimiter(double freeGuesses, Clock::duration refill, std::size_t maxClients);
  // How long the client must wait before a guess of theirs is looked at; zero when it may now.
  std::chrono::seconds Wait(const std::string& client, Clock::time_point now);
  void Wrong(const std::string& client, Clock::time_point now);

 private:
  struct Bucket {
    double guesses;
    Clock::time_point updated;
  };
  Bucket& Refilled(const std::string& client, Clock::time_point now);

  const double freeGuesses_;
  const Clock::duration refill_;
  const std::size_t maxClients_;
  std::map<std::string, Bucket> buckets_;
};

enum class Verdict { kAllowed, kUnauthorized, kLimited, kUsedUp };

struct AccessDecision {
  Verdict verdict;
  std::chrono::seconds retryAfter{0};  // for kLimited
};

struct Login {
  AccessDecision decision;
  std::string setCookie;  // the Set-Cookie value when allowed
};

class Access {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr char kCookie[] = "quillmend";

  explicit Access(std::string token);

  // The path that the page lives under once a browser logged in, with its session cookie scoped
  // to it: other servers on this machine get the same cookies for the same path, whatever their
  // port, and none knows this one.
  const std::string& Scope() const { return scope_; }
  // An address part that logs a browser in once, within `lifetime`.
  std::string NewOneTimeCode(Clock::duration lifetime);
  // A browser that came with the token or a one-time code gets a session.
  Login LogIn(const std::string& client, const std::string& token, const std::string& code,
              Clock::time_point now);
  // An API call, by its Cookie and Authorization headers.
  AccessDecision Check(const std::string& client, const std::string& cookieHeader,
                       const std::string& authorization, Clock::time_point now);

 private:
  bool HasSession(const std::string& cookieHeader) const;
  std::string NewSession();

  const std::string token_;
  const std::string scope_;
  std::mutex mutex_;
  struct Code {
    Clock::time_point expires;
    bool used;
  };
  std::map<std::string, Code> codes_;
  std::vector<std::string> sessions_;
  GuessLimiter limiter_;
};

// Whether a POST or DELETE may change anything: a browser says where the request comes from
// (Origin, Sec-Fetch-Site), and it must be the page itself. A program that sends the token in
// the Authorization header and neither of those is no browser page: no other site can make a
// browser send that header.
bool SameOriginChange(const std::string& origin, const std::string& fetchSite,
                      const std::string& hostHeader, bool tokenInHeader);

}  // namespace quillmend::tool::serve
