#include "testkit/fake_program.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "core/error.h"
#include "core/text.h"

namespace kolvex::testkit {
namespace fs = std::filesystem;

namespace {

// The one script every fake program is a copy of. It uses only bash builtins
// (and /bin/sleep, /usr/bin/flock), so it works with PATH reduced to the fake
// directory. Logged values escape "\" as "\\" and a line feed as "\n", one field
// per line. bash writes its output a line at a time, so a record is appended under
// a lock on the log: calls made at the same time (git beside git) would otherwise
// interleave their lines. The lock goes with the descriptor, also when the
// program is killed.
constexpr const char* SCRIPT_TEMPLATE = R"SCRIPT(#!/bin/bash
# Fake external program for tests; behaviour comes from KOLVEX_FAKE_<NAME>_* variables.
name=${0##*/}
key=${name^^}
key=KOLVEX_FAKE_${key//[^A-Z0-9]/_}
setting() { local v="${key}_$1"; printf '%s' "${!v-}"; }
escape() { local s=${1//\\/\\\\}; s=${s//$'\n'/\\n}; printf '%s' "$s"; }

log=$(setting LOG)
if [[ -n $log ]]; then
  record="call"$'\n'"arg $(escape "$name")"$'\n'
  for arg in "$@"; do record+="arg $(escape "$arg")"$'\n'; done
  record+="cwd $(escape "$(pwd -P)")"$'\n'
  names=$(setting LOG_ENV)
  for var in ${names//,/ }; do
    if [[ -n ${!var+x} ]]; then record+="env $var=$(escape "${!var}")"$'\n'
    else record+="unset $var"$'\n'; fi
  done
  record+="end"$'\n'
  exec {logfd}>>"$log"
  /usr/bin/flock "$logfd"
  printf '%s' "$record" >&"$logfd"
  exec {logfd}>&-
fi

snippet=$(setting RUN)
if [[ -n $snippet ]]; then eval "$snippet"; fi

seconds=$(setting SLEEP)
if [[ -n $seconds ]]; then /bin/sleep "$seconds"; fi

if [[ $(setting OUTPUT) == 1 ]]; then
  previous=
  for arg in "$@"; do
    if [[ $previous == --output ]]; then : > "$arg"; fi
    if [[ $arg == --output=* ]]; then : > "${arg#--output=}"; fi
    previous=$arg
  done
fi

v="${key}_STDOUT"; printf '%s' "${!v-}"
v="${key}_STDERR"; printf '%s' "${!v-}" >&2
status=$(setting EXIT)
exit "${status:-0}"
)SCRIPT";

std::string unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      ++i;
      out += text[i] == 'n' ? '\n' : text[i];
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string variable_key(std::string_view name) {
  std::string key = "KOLVEX_FAKE_";
  for (char c : core::ascii_upper(name)) key += ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) ? c : '_';
  return key;
}

}  // namespace

EnvOverlay merge_env(EnvOverlay base, const EnvOverlay& overlay) {
  for (const auto& [name, value] : overlay) base[name] = value;
  return base;
}

FakeProgram::FakeProgram(std::string name, fs::path path, fs::path log_path)
    : name_(std::move(name)), path_(std::move(path)), log_path_(std::move(log_path)) {}

std::string FakeProgram::variable(std::string_view suffix) const {
  return variable_key(name_) + "_" + std::string(suffix);
}

EnvOverlay FakeProgram::env(const FakeBehaviour& behaviour) const {
  auto text_or_unset = [](const std::string& value) -> std::optional<std::string> {
    if (value.empty()) return std::nullopt;
    return value;
  };
  return {
      {variable("LOG"), log_path_.native()},
      {variable("LOG_ENV"), text_or_unset(core::join(behaviour.log_env, " "))},
      {variable("RUN"), text_or_unset(behaviour.run)},
      {variable("SLEEP"),
       behaviour.sleep_seconds ? std::optional(core::format_float(*behaviour.sleep_seconds)) : std::nullopt},
      {variable("OUTPUT"), behaviour.create_output ? std::optional<std::string>("1") : std::nullopt},
      {variable("STDOUT"), text_or_unset(behaviour.stdout_text)},
      {variable("STDERR"), text_or_unset(behaviour.stderr_text)},
      {variable("EXIT"), std::to_string(behaviour.exit_code)},
  };
}

std::vector<FakeInvocation> FakeProgram::invocations() const {
  std::vector<FakeInvocation> calls;
  std::ifstream log(log_path_);
  std::string line;
  while (std::getline(log, line)) {
    if (line == "call") {
      calls.emplace_back();
    } else if (calls.empty() || line == "end") {
      continue;
    } else if (line.rfind("arg ", 0) == 0) {
      calls.back().argv.push_back(unescape(std::string_view(line).substr(4)));
    } else if (line.rfind("cwd ", 0) == 0) {
      calls.back().cwd = unescape(std::string_view(line).substr(4));
    } else if (line.rfind("env ", 0) == 0) {
      const std::size_t equals = line.find('=');
      calls.back().env[line.substr(4, equals - 4)] = unescape(std::string_view(line).substr(equals + 1));
    } else if (line.rfind("unset ", 0) == 0) {
      calls.back().env[line.substr(6)] = std::nullopt;
    }
  }
  return calls;
}

void FakeProgram::clear_log() const { core::remove_file_if_exists(log_path_); }

FakeBin::FakeBin(core::ScratchDir scratch, fs::path bin, fs::path logs)
    : scratch_(std::move(scratch)), bin_(std::move(bin)), logs_(std::move(logs)) {}

FakeBin FakeBin::create() {
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-fakebin-");
  const fs::path root = fs::canonical(scratch.path());
  fs::create_directories(root / "bin");
  fs::create_directories(root / "logs");
  return FakeBin(std::move(scratch), root / "bin", root / "logs");
}

FakeProgram FakeBin::install(const std::string& name) {
  const fs::path path = bin_ / name;
  core::write_file_atomic(path, SCRIPT_TEMPLATE);
  fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
  return program(name);
}

FakeProgram FakeBin::program(const std::string& name) const {
  return FakeProgram(name, bin_ / name, logs_ / (name + ".log"));
}

std::string FakeBin::path_value(const std::optional<std::string>& rest) const {
  std::string tail;
  if (rest) {
    tail = *rest;
  } else if (const char* current = std::getenv("PATH")) {
    tail = current;
  }
  return tail.empty() ? bin_.native() : bin_.native() + ":" + tail;
}

EnvOverlay FakeBin::env(const std::optional<std::string>& rest) const { return {{"PATH", path_value(rest)}}; }

ScopedEnv::ScopedEnv(const EnvOverlay& overlay) {
  for (const auto& [name, value] : overlay) {
    if (!saved_.count(name)) {
      const char* previous = std::getenv(name.c_str());
      saved_[name] = previous ? std::optional<std::string>(previous) : std::nullopt;
    }
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
}

ScopedEnv::~ScopedEnv() {
  for (const auto& [name, value] : saved_) {
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
}

}  // namespace kolvex::testkit
