#include "session.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <string_view>

#include "password.h"
#include "status.h"
#include "streams.h"

namespace kel::tool {

std::string store_header(const std::string& path) {
  constexpr std::size_t kHeader = 132;
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  std::string header(kHeader, '\0');
  if (!fd || pread(fd.get(), header.data(), kHeader, 0) !=
                 static_cast<ssize_t>(kHeader)) {
    return {};
  }
  // Format 3 (magic, version 3): the header runs to its length field, and
  // its generation (bytes 32 to 47), which every rewrite draws anew, says
  // nothing about the password or the key: it is left out.
  constexpr std::string_view kMagic("\x89KELSAFE\x03\0\0\0", 12);
  if (std::string_view(header).substr(0, kMagic.size()) != kMagic) return header;
  const auto byte = [&](std::size_t at) { return static_cast<std::size_t>(
                                              static_cast<unsigned char>(header[at])); };
  const std::size_t length = byte(12) | byte(13) << 8 | byte(14) << 16 | byte(15) << 24;
  if (length < kHeader || length > (1u << 20)) return {};
  header.assign(length, '\0');
  if (pread(fd.get(), header.data(), length, 0) != static_cast<ssize_t>(length)) return {};
  std::fill(header.begin() + 32, header.begin() + 48, '\0');
  return header;
}

Session::Session(const Context& context, bool ask_again)
    : context_(context), ask_again_(ask_again) {
  context_.session = nullptr;
  context_.session_value = nullptr;
}

void Session::unlock() {
  if (safe_) return;
  // Read before the store opens: a change in between then counts as one,
  // and the next command unlocks again rather than trusting a stale key.
  std::string header = store_header(store_file(context_.store));
  safe_ = open_safe(context_, ask_again_ ? "shell" : "agent");
  header_ = std::move(header);
}

bool Session::store_replaced() const {
  return store_header(store_file(context_.store)) != header_;
}

void Session::lock() {
  safe_.reset();
  header_.clear();
}

int Session::run(const std::vector<std::string>& words,
                 std::function<Secret(const std::string&)> session_value,
                 bool quiet) {
  if (words.size() == 1 && words[0] == "lock") {
    lock();
    forget_password_environment_at_lock();
    if (!context_.quiet) note("locked: the next command asks for the password");
    return kOk;
  }
  try {
    require_store(context_);
    if (!locked() && store_replaced()) {
      lock();
      if (ask_again_ && !context_.quiet) {
        note("the store's password changed, or another file took its place: "
             "locked; the password is asked again");
      }
    }
    if (locked() && !ask_again_) {
      throw Failure(kStoreError,
                    "the store's password changed, or another file took its "
                    "place: the agent has stopped; run the command again");
    }
    unlock();
  } catch (const Failure& failure) {
    note(failure.what());
    return failure.status();
  }
  Context line = context_;
  line.session = safe_.get();
  line.session_value = std::move(session_value);
  line.quiet = line.quiet || quiet;
  return context_.run_line(line, words);
}

bool is_exit(const std::vector<std::string>& words) {
  return words.size() == 1 && (words[0] == "exit" || words[0] == "quit");
}

std::chrono::seconds parse_duration(std::string_view text,
                                    std::string_view what) {
  unsigned long long count = 0;
  const char* end = text.data() + text.size();
  const auto [rest, error] = std::from_chars(text.data(), end, count);
  const std::string_view unit(rest, static_cast<std::size_t>(end - rest));
  unsigned long long scale = 0;
  if (unit.empty() || unit == "s") scale = 1;
  if (unit == "m") scale = 60;
  if (unit == "h") scale = 3600;
  constexpr unsigned long long kLongest = 7ULL * 24 * 3600;  // a week
  if (error != std::errc() || rest == text.data() || scale == 0 ||
      count > kLongest / scale) {
    throw Failure(
        kUsage,
        std::string(what) + ": " + quoted(text) +
            " is not a duration such as 90s, 5m or 1h (at most a week)");
  }
  return std::chrono::seconds(count * scale);
}

}  // namespace kel::tool
