// Helpers for calling the support library's C-style API from tests and
// benchmarks: argument vectors built from strings, results taken over into
// std::string, environment variables set for a scope, and the release of
// prefix lists (which the library itself never frees). Header-only, and
// free of any test framework, so that bench/ can use it as well.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "argv.h"
#include "prefix_list.h"

namespace kiv_test {

// A null-terminated argument vector that owns its strings, for the
// functions that take char *const *argv.
class Args {
 public:
  Args(std::initializer_list<const char *> list) : strings_(list.begin(), list.end()) {}
  explicit Args(std::vector<std::string> strings) : strings_(std::move(strings)) {}
  char *const *get() {
    pointers_.clear();
    for (std::string &s : strings_) pointers_.push_back(s.data());
    pointers_.push_back(nullptr);
    return pointers_.data();
  }
  const char *program() const { return strings_[0].c_str(); }

 private:
  std::vector<std::string> strings_;
  std::vector<char *> pointers_;
};

inline Args sh(const char *script) { return Args{"/bin/sh", "-c", script}; }

// Takes a malloc'd string over; nullopt for null.
inline std::optional<std::string> take_string(char *s) {
  if (!s) return std::nullopt;
  std::string text = s;
  free(s);
  return text;
}

// Takes a malloc'd argument vector (or component array) over and frees it.
inline std::vector<std::string> take_argv(char **argv) {
  std::vector<std::string> out;
  for (char **p = argv; p && *p; ++p) out.emplace_back(*p);
  free_argv(argv);
  return out;
}

// Sets (or, for a null value, unsets) an environment variable, and puts the
// old value back when it goes out of scope.
class ScopedEnv {
 public:
  ScopedEnv(const char *name, const char *value) : name_(name) {
    if (const char *old = getenv(name)) old_ = old;
    set(value);
  }
  ~ScopedEnv() { set(old_ ? old_->c_str() : nullptr); }
  ScopedEnv(const ScopedEnv &) = delete;
  ScopedEnv &operator=(const ScopedEnv &) = delete;
  void set(const char *value) {
    // Only an invalid name or exhausted memory fails: a broken test or bench.
    if ((value ? setenv(name_.c_str(), value, 1) : unsetenv(name_.c_str())) != 0) {
      perror(name_.c_str());
      abort();
    }
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Empties a list, freeing its entries, and returns their texts in order.
inline std::vector<std::string> take_prefix_list(prefix_list &list) {
  std::vector<std::string> texts;
  while (prefix_entry *e = list.head) {
    texts.emplace_back(e->text);
    list.head = e->next;
    free(e->text);
    free(e);
  }
  list.longest_len = 0;
  return texts;
}

// A list that frees its entries when it goes out of scope.
struct ScopedPrefixList : prefix_list {
  ScopedPrefixList() : prefix_list{} {}
  ~ScopedPrefixList() { take_prefix_list(*this); }
  ScopedPrefixList(const ScopedPrefixList &) = delete;
  ScopedPrefixList &operator=(const ScopedPrefixList &) = delete;
  std::vector<std::string> texts() const {
    std::vector<std::string> out;
    for (const prefix_entry *e = head; e; e = e->next) out.emplace_back(e->text);
    return out;
  }
};

}  // namespace kiv_test
