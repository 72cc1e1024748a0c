// SPDX-License-Identifier: MIT
// Copyright (c) 2026 the Vantrel developers
/*
 * Inside the platform layer: what the replacement of a destination
 * (platform.cpp) asks of the system it runs on (unix.cpp, windows.cpp).
 * Calls that fail return -1 or false with errno set.
 */
#ifndef PLATFORM_H
#define PLATFORM_H

#include <sys/stat.h>

#include "vantrel.h"

/* What a destination name stands for, its links followed. */
enum destkind {
	DEST_FAILED, /* nothing that can be written: errno tells why */
	DEST_NEW,    /* no file yet: one is to be made */
	DEST_FILE,   /* a regular file, to be replaced */
	DEST_OTHER,  /* a device, a pipe or anything else, to be written straight */
	DEST_STREAM  /* one of the run's own descriptors, to be written straight */
};

/*
 * A system call of the export, which the build for the tests may make
 * fail in its place, with the errno it names (VANTREL_FAILSYS), so that
 * the tests can reach every path of a failed call (tests/testbuild.cpp).
 */
#define SYS(call) (sysfails() ? -1 : (call))
#ifdef VANTREL_TESTBUILD
bool sysfails(void);
#else
inline bool
sysfails(void)
{
	return false;
}
#endif

void catchstops(void);
void holdstops(void);
void releasestops(void);
void removeonstop(const place *p, const char *name);

destkind finddest(const std::string &name, place *p, struct stat *st);
bool writable(const place &p);
bool appendonly(const place &p);
size_t namemax(const place &p);
void closeplace(place *p);

int createunnamed(const place &p, int mode);
bool nameunnamed(int fd, const place &p, const char *name);
int createnew(const place &p, const char *name, int mode);
int openstraight(place *p, destkind kind);
bool keepattrs(int fd, const place &p, const struct stat *old);
long writesome(int fd, const void *buf, size_t n);
bool syncfile(int fd);
bool replacefile(const place &p, const char *temp);
void removefile(const place &p, const char *name);
bool syncfolder(const place &p, int fd);
bool closefile(int fd);

#endif
