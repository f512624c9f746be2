#include "utils/Md5.h"

#include "utils/HexText.h"

#include <openssl/evp.h>

struct Md5::Context {
  EVP_MD_CTX* md = nullptr;
  bool ok = false;  // false once any step failed; finish() then gives ""

  Context() : md(EVP_MD_CTX_new()) { restart(); }
  ~Context() { EVP_MD_CTX_free(md); }
  void restart() { ok = md && EVP_DigestInit_ex(md, EVP_md5(), nullptr) == 1; }
};

Md5::Md5() : ctx_(std::make_unique<Context>()) {}
Md5::~Md5() = default;

void Md5::update(const void* data, size_t size) {
  if (ctx_->ok && size > 0) ctx_->ok = EVP_DigestUpdate(ctx_->md, data, size) == 1;
}

std::string Md5::finish() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  std::string out;
  if (ctx_->ok && EVP_DigestFinal_ex(ctx_->md, digest, &length) == 1 && length == 16) {
    out = toHexString(digest, length);
  }
  ctx_->restart();
  return out;
}

std::string Md5::hex(const void* data, size_t size) {
  Md5 md5;
  md5.update(data, size);
  return md5.finish();
}

std::string Md5::hex(std::string_view data) { return hex(data.data(), data.size()); }
