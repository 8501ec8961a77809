#pragma once

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

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
