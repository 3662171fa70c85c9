// Sets an environment variable for one scope, then removes it (children started meanwhile
// get the whole environment). Set it before the threads that read it start.
#pragma once

#include <cstdlib>
#include <string>

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() { unsetenv(name_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
};
