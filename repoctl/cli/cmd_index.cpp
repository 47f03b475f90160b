// The index handler and the install offer for semantic search support.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>

#include "core/closing.h"
#include "core/error.h"
#include "core/process.h"
#include "core/text.h"
#include "platform/config.h"
#include "platform/registry.h"
#include "repoctl/cli/commands.h"
#include "repoctl/pipeline/errors.h"
#include "repoctl/pipeline/index_run.h"
#include "repoctl/pipeline/semantic_glue.h"
#include "semantic/model.h"

namespace kolvex::cli {
namespace {

constexpr int ANSWER_POLL_MS = 100;

platform::Registry open_registry() { return platform::Registry(platform::data_dir() / "registry.db"); }

// Runs `body` on a registry opened for this one use, closing it on every path.
template <typename Body>
auto with_registry(Body&& body) {
  platform::Registry registry = open_registry();
  return core::with_closing(registry, [&] { return body(registry); });
}

// One line from standard input, read so that Ctrl+C ends the wait.
std::optional<std::string> read_line_from_stdin() {
  std::string line;
  while (true) {
    pollfd pfd{STDIN_FILENO, POLLIN, 0};
    int ready = ::poll(&pfd, 1, ANSWER_POLL_MS);
    if (core::interrupted()) {
      core::set_interrupted(false);
      return std::nullopt;
    }
    if (ready < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (ready == 0) continue;
    char byte = 0;
    ssize_t n = ::read(STDIN_FILENO, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return line.empty() ? std::nullopt : std::optional<std::string>(line);
    if (byte == '\n') break;
    line.push_back(byte);
  }
  if (!core::is_valid_utf8(line)) return std::nullopt;
  return line;
}

bool install_with_uv() {
  auto uv = core::find_program("uv");
  if (!uv) return false;
  try {
    core::ProcessOptions options;
    options.timeout = std::chrono::seconds(INSTALL_TIMEOUT_SECONDS);
    core::ProcessResult result = core::run_process(
        {uv->string(), "pip", "install", "--python", runtime_executable(), std::string(SEMANTIC_PACKAGE)}, options);
    return result.returncode == 0;
  } catch (const core::ProcessStartError&) {
    return false;
  } catch (const core::ProcessTimeoutError&) {
    return false;
  }
}

// Steps 1 to 12 of the offer after a successful `index`; returns nothing, the
// handler's status stays 0.
void offer_semantic_install(const Namespace& args, const std::string& slug, const OfferSteps& steps) {
  if (!args.offer_semantic.value_or(false)) return;
  if (!steps.semantic_extra_missing()) return;
  if (!steps.at_interactive_tty()) return;
  std::optional<platform::RegisteredRepo> row = with_registry([&](platform::Registry& r) { return r.get(slug); });
  if (row && row->semantic_declined) return;

  std::cout << INSTALL_PROMPT << std::flush;
  std::string answer = core::ascii_lower(core::strip(steps.read_answer().value_or("")));
  if (answer != "y" && answer != "yes") {
    with_registry([&](platform::Registry& r) { r.set_semantic_declined(slug, true); });
    return;
  }
  if (!steps.install_semantic_extra()) {
    std::cerr << "warning: semantic extra install failed — index completed without semantic; tried: uv pip "
                 "install --python "
              << runtime_executable() << " \"" << SEMANTIC_PACKAGE << "\"" << std::endl;
    return;
  }
  std::vector<std::string> prefixes = row ? row->semantic_include : std::vector<std::string>{};
  if (!pipeline::detail::run_semantic_stage(std::filesystem::path(*args.path), slug, std::nullopt, prefixes,
                                            detail::standard_error())) return;
  with_registry([&](platform::Registry& r) { r.mark_semantic_indexed(slug); });
}

}  // namespace

std::string runtime_executable() {
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string("kolvex") : self.string();
}

OfferSteps default_offer_steps() {
  return {
      .semantic_extra_missing = [] { return semantic::embedding_components_missing(); },
      .at_interactive_tty = [] { return ::isatty(STDIN_FILENO) == 1 && ::isatty(STDOUT_FILENO) == 1; },
      .install_semantic_extra = install_with_uv,
      .read_answer = read_line_from_stdin,
  };
}

int cmd_index(const Namespace& args, const OfferSteps& steps) {
  pipeline::IndexOptions options;
  options.slug = args.slug;
  options.scheme = args.scheme;
  options.language = args.language;
  options.scip = args.scip;
  options.semantic_include = args.semantic_include;
  std::string slug;
  try {
    slug = pipeline::index_repo(std::filesystem::path(args.path.value_or("")), options, detail::standard_error());
  } catch (const pipeline::UnsupportedLanguageError& error) {
    std::cerr << "error: " << error.what() << std::endl;
    return 1;
  } catch (const pipeline::NotAGitRepositoryError& error) {
    std::cerr << "error: " << error.what() << std::endl;
    return 1;
  } catch (const pipeline::IndexingError& error) {
    std::cerr << "error: " << error.what() << std::endl;
    return 1;
  } catch (const core::ValueError& error) {
    std::cerr << "error: " << error.what() << std::endl;
    return 1;
  } catch (const platform::RegistryError& error) {
    // The registry or the lock directory: the text names the file and the remedy.
    std::cerr << "error: " << error.what() << std::endl;
    return 1;
  }
  std::cout << "indexed " << slug << std::endl;
  offer_semantic_install(args, slug, steps);
  return 0;
}

int cmd_index(const Namespace& args) { return cmd_index(args, default_offer_steps()); }

}  // namespace kolvex::cli
