// Where the reference archives are, and what a test does when they are not there: on a
// developer's machine the folder may be absent, and the tests that need it are skipped; on CI
// (CI=true in the environment) its absence is a failure, so that a broken checkout or a moved
// folder cannot turn the acceptance tests into a quiet row of skips.
// Header only: the tool's tests link none of the shared test sources but a few.
#pragma once
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

// VANTREL_VECTORS_DIR in the environment when set, else the folder the build names
// (VECTORS_DIR), else "".
inline std::string vectors_folder() {
  if (const char* from_environment = getenv("VANTREL_VECTORS_DIR"))
    if (*from_environment) return from_environment;
#ifdef VECTORS_DIR
  return VECTORS_DIR;
#else
  return "";
#endif
}

// Whether missing reference archives fail the test rather than skip it.
inline bool vectors_required() {
  const char* ci = getenv("CI");
  return ci && (strcmp(ci, "true") == 0 || strcmp(ci, "1") == 0);
}

// True when the folder holds the reference archives (an index.json that opens). Otherwise
// fails the current test on CI and skips it elsewhere, naming the folder it looked in, and
// returns false; the caller then returns at once:
//   if (!vectors_present()) return;
inline bool vectors_present() {
  std::string folder = vectors_folder();
  if (!folder.empty() && std::ifstream(folder + "/index.json").good()) return true;
  std::string where = folder.empty() ? std::string("no folder configured (VECTORS_DIR)")
                                     : "no index.json in " + folder;
  if (vectors_required()) {
    ADD_FAILURE() << "reference archives missing: " << where
                  << "; CI=true requires them (VANTREL_VECTORS_DIR names another folder)";
  } else {
    // GTEST_SKIP returns from the function it is in, so it gets one of its own.
    [&] {
      GTEST_SKIP() << "reference archives missing: " << where
                   << " (VANTREL_VECTORS_DIR names another folder; with CI=true this fails)";
    }();
  }
  return false;
}
