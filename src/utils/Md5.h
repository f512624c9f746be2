#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// MD5 (RFC 1321) written as 32 lower-case hexadecimal characters, the form the
// device compares an image against. An empty text means the digest could not
// be made (no MD5 in the crypto library, or an unreadable file).
class Md5 {
 public:
  Md5();
  ~Md5();
  Md5(const Md5&) = delete;
  Md5& operator=(const Md5&) = delete;

  // Feeds more data; may be called any number of times before finish().
  void update(const void* data, size_t size);
  // The digest of everything fed so far; the object starts over afterwards.
  std::string finish();

  static std::string hex(const void* data, size_t size);
  static std::string hex(std::string_view data);

 private:
  struct Context;
  std::unique_ptr<Context> ctx_;
};
