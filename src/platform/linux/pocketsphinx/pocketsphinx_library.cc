#include "platform/linux/pocketsphinx/pocketsphinx_library.h"

#include <dlfcn.h>

#include <type_traits>
#include <utility>

namespace tellwyn {
namespace {

// The last loader failure in words; dlerror() is per thread.
std::string loaderError() {
  const char* text = dlerror();
  return text != nullptr ? text : "unknown error";
}

}  // namespace

PocketsphinxLibrary::PocketsphinxLibrary(std::string name) : name_(std::move(name)) {}

PocketsphinxLibrary::~PocketsphinxLibrary() = default;

void PocketsphinxLibrary::Closer::operator()(void* handle) const { dlclose(handle); }

Result<const PocketsphinxFunctions*> PocketsphinxLibrary::open() {
  const std::lock_guard lock(mutex_);
  if (!answer_) answer_ = load();
  return *answer_;
}

Result<const PocketsphinxFunctions*> PocketsphinxLibrary::load() {
  std::unique_ptr<void, Closer> handle(dlopen(name_.c_str(), RTLD_NOW | RTLD_LOCAL));
  if (!handle) {
    return Error{"tellwyn.recognizer", 5,
                 "Speech recognizer library could not be loaded: " + loaderError()};
  }
  PocketsphinxFunctions functions;
  std::optional<Error> missing;
  // Looking up through the library's handle also searches the libraries it
  // depends on, where cmd_ln_* and err_* live.
  const auto find = [&](auto& function, const char* symbol) {
    if (missing) return;
    dlerror();
    void* address = dlsym(handle.get(), symbol);
    if (address == nullptr) {
      missing = Error{"tellwyn.recognizer", 6,
                      "Speech recognizer library " + name_ + " has no " + symbol};
      return;
    }
    function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(address);
  };
  find(functions.err_set_logfp, "err_set_logfp");
  find(functions.cmd_ln_init, "cmd_ln_init");
  find(functions.cmd_ln_free_r, "cmd_ln_free_r");
  find(functions.ps_args, "ps_args");
  find(functions.ps_default_search_args, "ps_default_search_args");
  find(functions.ps_init, "ps_init");
  find(functions.ps_free, "ps_free");
  find(functions.ps_start_utt, "ps_start_utt");
  find(functions.ps_process_raw, "ps_process_raw");
  find(functions.ps_get_in_speech, "ps_get_in_speech");
  find(functions.ps_end_utt, "ps_end_utt");
  find(functions.ps_get_n_frames, "ps_get_n_frames");
  find(functions.ps_seg_iter, "ps_seg_iter");
  find(functions.ps_seg_next, "ps_seg_next");
  find(functions.ps_seg_word, "ps_seg_word");
  find(functions.ps_seg_frames, "ps_seg_frames");
  find(functions.ps_get_config, "ps_get_config");
  find(functions.ps_get_feat, "ps_get_feat");
  find(functions.cmn_live_set, "cmn_live_set");
  find(functions.cmd_ln_str_r, "cmd_ln_str_r");
  find(functions.fe_init_auto_r, "fe_init_auto_r");
  find(functions.fe_start_utt, "fe_start_utt");
  find(functions.fe_get_output_size, "fe_get_output_size");
  find(functions.fe_process_frames, "fe_process_frames");
  find(functions.fe_get_vad_state, "fe_get_vad_state");
  find(functions.fe_free, "fe_free");
  if (missing) return *missing;

  // With no log stream the library's messages go nowhere. Set before any
  // decoder exists, for the whole process: "-logfn" would reopen it.
  functions.err_set_logfp(nullptr);
  handle_ = std::move(handle);
  functions_ = functions;
  return &functions_;
}

}  // namespace tellwyn
