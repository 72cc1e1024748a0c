// SPDX-License-Identifier: MIT
// Copyright (c) 2026 the Vantrel developers
/*
 * What the build of the tool for the tests (Vantrel-test) adds to it,
 * and nothing else does: allocations and system calls that fail when a
 * test asks, and checks at exit that every item is freed and every
 * descriptor (on Windows, every handle on a file) closed. This file is
 * linked into that build alone, on Unix and on Windows.
 */
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <unistd.h>
#ifdef _WIN32
/*
 * On Windows a call fails with the Windows error a test names
 * ("ReplaceFileW 1 ERROR_SHARING_VIOLATION"): its code is given in
 * errno, which the hook in windows.cpp makes the call's last error. The
 * log is written as it is, with no CR added. Windows has no SIGSTOP: a
 * run told to stop at a call ends there (SIGTERM, status 3), as one
 * ended outright would.
 * A descriptor is a handle, a multiple of 4, watched where it is open on
 * a file, a device or a pipe, not on what the system makes for itself
 * (a semaphore for a critical section).
 */
#include <windows.h>
#define WINERROR(e, code) (e) == code ? #code :
#define strerrorname_np(e) (WINERROR(e, ERROR_ACCESS_DENIED) WINERROR(e, ERROR_SHARING_VIOLATION) WINERROR(e, ERROR_FILE_EXISTS) WINERROR(e, ERROR_FILE_NOT_FOUND) WINERROR(e, ERROR_UNABLE_TO_MOVE_REPLACEMENT) nullptr)
#define O_CLOEXEC (_O_BINARY | _O_NOINHERIT)
#define SIGSTOP SIGTERM
#define F_GETFD 0
#define fcntl(fd, cmd) (GetFileType(HANDLE(uintptr_t(fd) * 4)) == FILE_TYPE_UNKNOWN ? -1 : 0)
#endif

#include "../src/vantrel.h"

/*
 * Tells whether this allocation, counted from 1 in *count, is the one
 * the environment variable named fails; with it unset or 0, none is.
 */
static bool
failsnow(unsigned long *count, const char *variable)
{
	const char *fail = std::getenv(variable);

	return fail != nullptr && ++*count == std::strtoul(fail, nullptr, 10);
}

#define WATCHEDFDS 64 /* more descriptors than a run ever holds at once */

/* The descriptors from 3 up that are open now, as bits 1 << fd. */
static unsigned long long
openfds(void)
{
	unsigned long long open = 0;

	for (int fd = 3; fd < WATCHEDFDS; fd++)
		if (fcntl(fd, F_GETFD) != -1)
			open |= 1ULL << fd;
	return open;
}

static const unsigned long long openatstart = openfds();
static long live; /* the blocks itemalloc() and operator new gave that are not freed yet */

/* Ends a run that leaves a block unfreed or a descriptor it opened open, whatever its status was to be. */
static void
checkexit(void)
{
	if (live != 0 || (openfds() & ~openatstart) != 0) {
		std::fprintf(stderr, "%ld blocks not freed, descriptors left open: %llx\n", live, openfds() & ~openatstart);
		_Exit(99);
	}
}

static const int watched = std::atexit(checkexit);

/* Memory for an item, a seen-list entry or the seen index; VANTREL_FAILALLOC picks one to fail. */
void *
itemalloc(size_t size)
{
	static unsigned long count;
	void *p = failsnow(&count, "VANTREL_FAILALLOC") ? nullptr : std::malloc(size);

	live += p != nullptr;
	return p;
}

void
itemfree(void *p)
{
	live -= p != nullptr;
	std::free(p);
}

/*
 * The same for the standard library's allocations (strings, the walks'
 * stacks), which fail by throwing: VANTREL_FAILNEW picks one.
 */
void *
operator new(size_t size)
{
	static unsigned long count;
	void *p = failsnow(&count, "VANTREL_FAILNEW") ? nullptr : std::malloc(size > 0 ? size : 1);

	if (p == nullptr)
		throw std::bad_alloc();
	live++;
	return p;
}

void
operator delete(void *p) noexcept
{
	itemfree(p);
}

void
operator delete(void *p, size_t) noexcept
{
	itemfree(p);
}

/*
 * Tells whether faults, a list of "name n ERRNO" separated by commas,
 * names the n-th call of call, or with n 0 every one; then errno is set
 * to the one it names.
 */
static bool
named(const char *faults, const char *call, unsigned long n)
{
	char name[64], err[64];
	unsigned long k;

	for (; faults != nullptr && *faults != '\0'; faults = std::strchr(faults, ',') ? std::strchr(faults, ',') + 1 : nullptr) {
		int fields = std::sscanf(faults, "%63[^ ,] %lu %63[^ ,]", name, &k, err);
		if (fields < 2 || (k != n && k != 0) || std::strcmp(name, call) != 0)
			continue;
		int e = 1;
		while (fields == 3 && (strerrorname_np(e) == nullptr || std::strcmp(strerrorname_np(e), err) != 0))
			if (++e == 4096)
				std::abort(); /* an errno with no such name: the test is wrong */
		errno = e;
		return true;
	}
	return false;
}

/*
 * Counts the named system calls of the export, each name from 1, and
 * tells whether this one is to fail: VANTREL_FAILSYS="renameat 1 EIO"
 * fails the first renameat with EIO, and may name more, separated by
 * commas ("fsync 2 ENOSPC,linkat 1 EEXIST"). The run stops itself
 * (SIGSTOP) just before the call VANTREL_STOPAT names ("renameat 1"), so
 * that a test can act at that very moment, and appends the name of each
 * call and of the function that makes it ("renameat renametemp"), a line
 * each, to the file VANTREL_SYSLOG names, if any. Nothing
 * is allocated here, so that the allocation walks count as before. A
 * count of 0 names every call of the name ("ReplaceFileW 0 ...").
 */
bool
sysfails(const char *call, const char *caller)
{
	static struct {
		const char *name;
		unsigned long count;
	} calls[64];
	size_t i = 0;
	const char *log = std::getenv("VANTREL_SYSLOG");

	while (calls[i].name != nullptr && std::strcmp(calls[i].name, call) != 0)
		i++;
	calls[i].name = call;
	unsigned long n = ++calls[i].count;
	int fd = log != nullptr ? open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600) : -1;
	if (fd != -1 && (write(fd, call, std::strlen(call)) == -1 || write(fd, " ", 1) == -1 ||
	    write(fd, caller, std::strlen(caller)) == -1 || write(fd, "\n", 1) == -1 || close(fd) != 0))
		std::abort();
	if (named(std::getenv("VANTREL_STOPAT"), call, n))
		raise(SIGSTOP);
	return named(std::getenv("VANTREL_FAILSYS"), call, n);
}
