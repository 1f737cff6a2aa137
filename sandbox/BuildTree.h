#pragma once

#include <string>
#include <string_view>

// Where this build's programs are, and the source tree's files the tests,
// the demo and the benchmarks read. The paths are compiled into one
// generated file (BuildTree.cpp in the build folder): another clone of the
// same sources recompiles that file alone, and the compiler's cache serves
// everything else.
namespace tarvo::sandbox::tree {

extern const char* const source;      // the checkout
extern const char* const dataDir;     // its data/: the model, the photos, the video
extern const char* const helper;      // tarvo-helper
extern const char* const tarvoctl;    // the command line, also the agent
extern const char* const app;         // tarvo, the desktop app
extern const char* const pamModule;   // pam_tarvo.so
extern const char* const passcheck;   // the sandbox's password module
extern const char* const nssWrapper;  // libnss_wrapper.so, preloaded
extern const char* const pamWrappers; // pam_wrapper's modules folder
extern const char* const screenshots; // where the desktop tests leave their pictures
// LeakSanitizer's option naming the tests' suppressions file. An array:
// the sanitizer asks for it before its shadow memory is up, when an
// instrumented load of a pointer would fault; an array's address needs none.
extern const char leakSuppressions[];

// A file under data/, such as "franck/franck.mp4".
std::string data(std::string_view relative);

} // namespace tarvo::sandbox::tree
