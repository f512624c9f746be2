#pragma once
#include <string>
#include <string_view>

// The logging facade. Every record carries the caller's source file, line and
// function, and is handed to log4cplus's root logger unconditionally (forced),
// so only the appenders' own thresholds filter it.
namespace logfacade {

constexpr int kDebug = 10000;
constexpr int kInfo = 20000;
constexpr int kWarn = 30000;
constexpr int kError = 40000;

// Longest formatted message, in characters; a longer one is logged empty.
constexpr size_t kMaxMessage = 40960;

void write(int level, const char* sourcePath, int line, const char* function, const char* format, ...)
    __attribute__((format(printf, 5, 6)));

// Text that came from outside (a device, a LAN host, a web server), made safe
// for one log line: control and non-ASCII bytes become \xNN, and it is cut to
// maxLength bytes of input.
std::string escapeForLog(std::string_view text, size_t maxLength = 256);

// "Class::method" out of a compiler's pretty function signature.
std::string functionName(const char* prettyFunction);

}  // namespace logfacade

#define KLOG(level, ...) ::logfacade::write((level), __FILE__, __LINE__, __PRETTY_FUNCTION__, __VA_ARGS__)
#define LOG_DEBUG(...) KLOG(::logfacade::kDebug, __VA_ARGS__)
#define LOG_INFO(...) KLOG(::logfacade::kInfo, __VA_ARGS__)
#define LOG_WARN(...) KLOG(::logfacade::kWarn, __VA_ARGS__)
#define LOG_ERROR(...) KLOG(::logfacade::kError, __VA_ARGS__)
