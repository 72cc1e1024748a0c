// SPDX-License-Identifier: MIT
// Copyright (c) 2026 the Vantrel developers
/*
 * The platform layer: what the run asks of the system it runs on. Each
 * system has the whole of it in a file of its own (unix.cpp,
 * windows.cpp); platform.cpp holds the little they share.
 *
 * A destination is written through an output. A regular file, or one
 * yet to be made, is written to a new file in its folder and put in
 * its place only by the commit, once complete and on disk, so that a
 * run that fails, or is stopped at any moment, leaves the former file
 * as it was and nothing beside it; a file the system won't let the run
 * remake is refused before anything is written. Closing an output that
 * was not committed gives it up: the new file goes, the destination
 * stays.
 */
#ifndef PLATFORM_H
#define PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

/* A destination being written; each system keeps its own record of it. */
#ifdef _WIN32
typedef struct windowsoutput output;
#else
typedef struct unixoutput output;
#endif

/*
 * Tells whether the build for the tests fails this system call in its
 * place (tests/testbuild.cpp); the tool as shipped never does, and its
 * compiler leaves the bare call.
 */
#ifdef VANTREL_TESTBUILD
bool sysfails(const char *call, const char *caller);
#else
inline bool
sysfails(const char *, const char *)
{
	return false;
}
#endif

/* How a commit ended. */
enum completion {
	COMPLETE_FAILED,   /* the destination is as it was */
	COMPLETE_UNSYNCED, /* the new file is in place, but its folder could not be put on disk */
	COMPLETE_OK        /* the new file is in place and on disk */
};

/*
 * The first step of main: holds the standard descriptors that are
 * closed, takes the arguments as the system holds them, and catches
 * the signals that would end the run. False when a descriptor can't
 * be held.
 */
bool startrun(int *argc, char ***argv);
FILE *openinput(const std::string &name);

/*
 * An output to the destination name; none when it can't be written.
 * writeoutput() writes all n bytes or fails. commitoutput() puts what
 * was written on disk and in place; from the moment it does, the
 * signals that would end the run wait, until closeoutput(). That ends
 * the output whatever happened, and the caller calls it only once its
 * last message is written out, so that a run ended by a signal never
 * leaves a new file in place without saying so.
 */
output *new_output(const std::string &name);
bool writeoutput(output *out, const void *buf, size_t n);
completion commitoutput(output *out);
void closeoutput(output *out);

/*
 * Prints a text of an item (a title, a comment, a URL) on standard
 * output as the bytes it holds, whatever line ends are among them; the
 * line ends of the messages around it are the system's own.
 */
void puttext(const char *text);

/* 64 bits from the system's random source, or 0 where it has none. */
uint64_t randombits(void);

/* For the systems' files alone (platform.cpp): a temporary name ends in this. */
#define TEMPSUFFIX ".XXXXXX"
std::string tempname(const std::string &name, size_t namemax);
bool retryname(std::string *name, int *tries);

#endif
