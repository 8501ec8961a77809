#pragma once

#include <pocketsphinx.h>
#include <sphinxbase/cmd_ln.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/err.h>
#include <sphinxbase/fe.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/error.h"

namespace tellwyn {

// The library functions the decoder calls, typed as the library's headers
// declare them.
struct PocketsphinxFunctions {
  decltype(&::err_set_logfp) err_set_logfp = nullptr;
  decltype(&::cmd_ln_init) cmd_ln_init = nullptr;
  decltype(&::cmd_ln_free_r) cmd_ln_free_r = nullptr;
  decltype(&::ps_args) ps_args = nullptr;
  decltype(&::ps_default_search_args) ps_default_search_args = nullptr;
  decltype(&::ps_init) ps_init = nullptr;
  decltype(&::ps_free) ps_free = nullptr;
  decltype(&::ps_start_utt) ps_start_utt = nullptr;
  decltype(&::ps_process_raw) ps_process_raw = nullptr;
  decltype(&::ps_get_in_speech) ps_get_in_speech = nullptr;
  decltype(&::ps_end_utt) ps_end_utt = nullptr;
  decltype(&::ps_get_n_frames) ps_get_n_frames = nullptr;
  decltype(&::ps_seg_iter) ps_seg_iter = nullptr;
  decltype(&::ps_seg_next) ps_seg_next = nullptr;
  decltype(&::ps_seg_word) ps_seg_word = nullptr;
  decltype(&::ps_seg_frames) ps_seg_frames = nullptr;
  // The configuration, the feature computation and its cepstral mean, and a
  // front end of one's own: the first speech's mean is measured with them.
  decltype(&::ps_get_config) ps_get_config = nullptr;
  decltype(&::ps_get_feat) ps_get_feat = nullptr;
  decltype(&::cmn_live_set) cmn_live_set = nullptr;
  decltype(&::cmd_ln_str_r) cmd_ln_str_r = nullptr;
  decltype(&::fe_init_auto_r) fe_init_auto_r = nullptr;
  decltype(&::fe_start_utt) fe_start_utt = nullptr;
  decltype(&::fe_get_output_size) fe_get_output_size = nullptr;
  decltype(&::fe_process_frames) fe_process_frames = nullptr;
  decltype(&::fe_get_vad_state) fe_get_vad_state = nullptr;
  decltype(&::fe_free) fe_free = nullptr;
};

// The pocketsphinx shared library, opened when it is first needed instead of
// by the program's loader: it pulls in some thirty shared objects (BLAS,
// LAPACK, the Fortran run-time, sound-file codecs) that only a speech session
// uses, and loading them costs every start, --list-devices included. open()
// loads the library by name with its symbols kept out of the global scope,
// looks up the functions (its own and those of libsphinxbase, which it
// depends on) and switches the library's log off; the first answer, success
// or failure, is kept for every later call. The library stays loaded until
// this object goes.
//
// Threads: any; open() serializes on a lock.
class PocketsphinxLibrary {
 public:
  static constexpr char kDefaultName[] = "libpocketsphinx.so.3";

  explicit PocketsphinxLibrary(std::string name = kDefaultName);
  ~PocketsphinxLibrary();
  PocketsphinxLibrary(const PocketsphinxLibrary&) = delete;
  PocketsphinxLibrary& operator=(const PocketsphinxLibrary&) = delete;

  // The functions, valid while this object lives; or why the library could
  // not be used.
  Result<const PocketsphinxFunctions*> open();

 private:
  struct Closer {
    void operator()(void* handle) const;
  };

  Result<const PocketsphinxFunctions*> load();

  const std::string name_;
  std::mutex mutex_;
  std::unique_ptr<void, Closer> handle_;
  PocketsphinxFunctions functions_;
  std::optional<Result<const PocketsphinxFunctions*>> answer_;
};

}  // namespace tellwyn
