// kxb, the companion of kavelwrite: what is attached (probe), what is wrong in a script and where
// (check), and what a log file says (log). Each verb takes its own arguments, argv[0] being the
// verb's name, and returns the program's exit status.
#ifndef KAVELWRITE_KXB_H
#define KAVELWRITE_KXB_H

// Exit status of a command line that kxb does not understand.
const int KXB_USAGE_ERROR = 2;

// ---- check.cpp
extern const char* const txtUsageCheck;
// Checks every named script without a keyboard; returns 0, 160, 168 or 169.
int KxbCheck(int argc, char* argv[]);

// ---- probe.cpp
extern const char* const txtUsageProbe;
// Identifies the attached keyboards with identification reads only; returns 0, 161 .. 164.
int KxbProbe(int argc, char* argv[]);

// ---- log.cpp
extern const char* const txtUsageLog;
// Summarises an annotated log file run by run; returns 0, 168 or 169.
int KxbLog(int argc, char* argv[]);

// ---- usage.cpp
// Prints the usage of the whole program (txtUsage null) or of one verb to standard error and
// returns KXB_USAGE_ERROR.
int KxbUsageError(const char* txtUsage);
// Prints the usage of the whole program (txtUsage null) or of one verb to standard output and
// returns 0.
int KxbUsage(const char* txtUsage);

#endif
