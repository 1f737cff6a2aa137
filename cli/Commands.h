#pragma once

#include <QStringList>

// tarvoctl's subcommands. Each takes the arguments after its name and
// returns the exit status: 0 done, 1 failed, 2 wrong usage (3 below).
namespace tarvo::cli {

inline constexpr int done = 0;
inline constexpr int failed = 1;
inline constexpr int misused = 2;
// `agent` only: another agent of this user already answers.
inline constexpr int alreadyRunning = 3;

int status(const QStringList& args);
int enroll(const QStringList& args);
int faces(const QStringList& args);
int remove(const QStringList& args);
int test(const QStringList& args);
int password(const QStringList& args);
int turnOn(const QStringList& args);
int turnOff(const QStringList& args);
int updateModule(const QStringList& args);
int uninstall(const QStringList& args);
int config(const QStringList& args);
int camera(const QStringList& args);
int diagnostics(const QStringList& args);
int agent(const QStringList& args);

// Prints "tarvoctl: text" on standard error; `failed`.
int fail(const QString& text);
// The same with a pointer to --help; `misused`.
int misuse(const QString& text);

} // namespace tarvo::cli
