#include "utils/LogFacade.h"

#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>
#include <log4cplus/spi/loggingevent.h>

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>

namespace logfacade {
namespace {

// Never torn down: threads may still log while the process exits. Kept in a
// global so that the leak checker sees it as reachable.
__attribute__((used)) log4cplus::Initializer* g_initializer = nullptr;

void initialiseOnce() {
  static std::once_flag once;
  std::call_once(once, [] { g_initializer = new log4cplus::Initializer(); });
}

const char* lastComponent(const char* path) {
  const char* base = path;
  for (const char* p = path; *p; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  return base;
}

}  // namespace

std::string functionName(const char* pretty) {
  std::string_view sig(pretty ? pretty : "");
  // Cut the parameter list at the first '(' that is not inside a template.
  size_t depth = 0, paren = sig.size();
  for (size_t i = 0; i < sig.size(); ++i) {
    if (sig[i] == '<') ++depth;
    else if (sig[i] == '>' && depth) --depth;
    else if (sig[i] == '(' && depth == 0) { paren = i; break; }
  }
  std::string_view head = sig.substr(0, paren);
  size_t space = std::string_view::npos;
  depth = 0;
  for (size_t i = head.size(); i-- > 0;) {
    if (head[i] == '>') ++depth;
    else if (head[i] == '<' && depth) --depth;
    else if (head[i] == ' ' && depth == 0) { space = i; break; }
  }
  if (space != std::string_view::npos) head = head.substr(space + 1);
  while (!head.empty() && (head.front() == '*' || head.front() == '&')) head.remove_prefix(1);
  return std::string(head);
}

void write(int level, const char* sourcePath, int line, const char* function, const char* format, ...) {
  initialiseOnce();
  // Each call has its own buffer: no shared state, no lock in the facade.
  // Not zero-filled: vsnprintf terminates what it writes.
  std::unique_ptr<char[]> buffer(new char[kMaxMessage]);
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer.get(), kMaxMessage, format, args);
  va_end(args);
  if (n < 0 || static_cast<size_t>(n) >= kMaxMessage) buffer[0] = '\0';

  log4cplus::Logger root = log4cplus::Logger::getRoot();
  log4cplus::spi::InternalLoggingEvent event(root.getName(), level, buffer.get(),
                                             lastComponent(sourcePath ? sourcePath : ""), line,
                                             functionName(function).c_str());
  root.forcedLog(event);
}

std::string escapeForLog(std::string_view text, size_t maxLength) {
  std::string out;
  size_t n = text.size() < maxLength ? text.size() : maxLength;
  out.reserve(n);
  static const char digits[] = "0123456789abcdef";
  for (size_t i = 0; i < n; ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      out += "\\x";
      out.push_back(digits[c >> 4]);
      out.push_back(digits[c & 15]);
    }
  }
  if (text.size() > maxLength) out += "...";
  return out;
}

}  // namespace logfacade
