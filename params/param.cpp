#include "params/param.h"

#include "core/util_translate.h"

#include <cerrno>
#include <cstdio>

namespace {

std::string catalogue(const char* text) { return getmuText(text); }

std::atomic<TranslateFn> translator{&catalogue};

}  // namespace

Param::Param(std::string name, uint32_t flags) : name_(std::move(name)), flags_(flags) {}

bool Param::takeModified() {
  std::lock_guard<std::mutex> guard(mutex_);
  return modified_.exchange(false, std::memory_order_acq_rel);
}

std::string Param::itemText(int32_t) const { return toText(); }

int Param::printTo(std::FILE* file) const {
  const std::string text = storedText();
  return static_cast<int>(std::fwrite(text.data(), 1, text.size(), file));
}

int Param::setBySnmp(int, const SnmpValue&, ParamTable&) {
  std::printf("ERROR: Call base Param class setBySnmp function ?!\n");
  return SnmpNoAccess;
}

int Param::set(std::string_view text) {
  if (text.size() >= kMaxSetLength) {
    errno = EINVAL;
    std::perror("!PARAMS SET ILLEGAL VALUES!");
    return ChangeNone;
  }
  if (!validate(text) || !setFromText(text)) return ChangeNone;
  return changeClassOf(flags());
}

void Param::setTranslator(TranslateFn fn) { translator.store(fn ? fn : &catalogue); }

std::string Param::translate(const char* text) { return translator.load()(text); }
