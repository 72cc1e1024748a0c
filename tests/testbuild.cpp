// SPDX-License-Identifier: MIT
// Copyright (c) 2026 the Vantrel developers
/*
 * What the build of the tool for the tests (Vantrel-test) adds to it,
 * and nothing else does: allocations and system calls that fail when a
 * test asks, and a check at exit that every item is freed. This file is
 * linked into that build alone.
 */
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <unistd.h>

#include "../src/platform.h"
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

/* The blocks itemalloc() gave that are not freed yet. */
static long live;

/* Ends a run that leaves any of them unfreed, whatever its status was to be. */
static void
checkleaks(void)
{
	if (live != 0) {
		std::fprintf(stderr, "%ld blocks not freed\n", live);
		_Exit(99);
	}
}

/* Memory for an item, a seen-list entry or the seen index; VANTREL_FAILALLOC picks one to fail. */
void *
itemalloc(size_t size)
{
	static unsigned long count;
	static const int watched = std::atexit(checkleaks);
	void *p = failsnow(&count, "VANTREL_FAILALLOC") ? nullptr : std::malloc(size);

	live += p != nullptr && watched == 0; /* counted once the check at exit is in place */
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
	return p;
}

void
operator delete(void *p) noexcept
{
	std::free(p);
}

void
operator delete(void *p, size_t) noexcept
{
	std::free(p);
}

/*
 * Counts the export's system calls from 1 and tells whether this one is
 * to fail: VANTREL_FAILSYS holds its number and the errno it fails
 * with, as "12 28". The file VANTREL_SYSCOUNT names, if any, is kept as
 * long as the count, so that a test sees how far a run went; at the
 * call VANTREL_STOPAT numbers the run stops itself, so that a test can
 * send it a signal at that very moment.
 */
bool
sysfails(void)
{
	static long count;
	const char *fail = std::getenv("VANTREL_FAILSYS"), *log = std::getenv("VANTREL_SYSCOUNT");
	const char *stop = std::getenv("VANTREL_STOPAT");
	long n;
	int err;

	count++;
	if (log != nullptr && truncate(log, count) != 0)
		std::abort();
	if (stop != nullptr && std::atol(stop) == count)
		raise(SIGSTOP);
	if (fail == nullptr || std::sscanf(fail, "%ld %d", &n, &err) != 2 || n != count)
		return false;
	errno = err;
	return true;
}
