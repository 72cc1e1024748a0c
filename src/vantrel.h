// SPDX-License-Identifier: MIT
// Copyright (c) 2026 the Vantrel developers
/*
 * Records and routines shared by the modules of Vantrel:
 * items and the favourites file format (sfv.cpp), the walks over the
 * trees (tree.cpp) and the driver (vantrel.cpp). What they ask of the
 * system is in platform.h.
 */
#ifndef VANTREL_H
#define VANTREL_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

enum itemkind { SFV_URL = 1, SFV_FOLDER = 2 };

#define SFV_MAGIC "SFV-FORMAT\x1a"
#define SFV_MAGICLEN 11
#define SFV_VERSION 101
#define SFV_VERSIONLEN 2
#define SFV_TEXTMAX 1024 /* longest text a record may hold */
#define SFV_SETTINGFLAGS 8 /* on/off settings; one number follows them */
#define SFV_NUMBERS 14 /* numbers every record holds after its texts */

/*
 * One bookmark, folder or URL item. The three texts are zero-terminated
 * and live in the same allocation, right after the record, so that an
 * item costs little more than its texts. A folder's url is empty.
 */
struct sfvitem {
	char *title;
	char *comment;
	int32_t setting_flag;
	int32_t opaque1;
	int32_t opaque2;
	int32_t opaque3;
	int32_t opaque4;
	int32_t setting[SFV_SETTINGFLAGS + 1];
	char *url;
	int32_t visited;
	int32_t color;
	sfvitem *child;
	sfvitem *next;
	itemkind kind;
};

struct itemcount {
	int32_t items;
	int32_t folders;
	int32_t urls;
};

/* A source file, read through a buffer of its own. */
struct sfvreader {
	FILE *fp;
	size_t pos;
	size_t len;
	unsigned char buf[1 << 16]; /* many records a read, and the longest whole */
};

/*
 * A destination file, written through a buffer of its own: sink takes
 * all n bytes at buf to the place to, or fails. failed turns true at
 * the first failure.
 */
struct sfvwriter {
	bool (*sink)(void *to, const void *buf, size_t n);
	void *to;
	size_t len;
	bool failed;
	unsigned char buf[1 << 16];
};

enum headercheck { HEADER_OK, HEADER_NOTSFV, HEADER_VERSION };

/*
 * Memory for items, the seen set, its entries and its index. The build
 * for the tests (VANTREL_TESTBUILD, with tests/testbuild.cpp) counts
 * these allocations and fails the one whose number the environment
 * variable VANTREL_FAILALLOC gives, so that the tests can reach every
 * path of a failed allocation, and it ends with status 99 a run that
 * leaves any block unfreed; the tool as shipped calls malloc and free
 * straight.
 */
#ifdef VANTREL_TESTBUILD
void *itemalloc(size_t size);
void itemfree(void *p);
#else
inline void *
itemalloc(size_t size)
{
	return std::malloc(size);
}

inline void
itemfree(void *p)
{
	std::free(p);
}
#endif

/* sfv.cpp */
void free_sfvitem(sfvitem *item);
void initreader(sfvreader *r, FILE *fp);
headercheck readheader(sfvreader *r);
sfvitem *readitemfromsfv(sfvreader *r, bool has_type);
bool readend(sfvreader *r);
void initwriter(sfvwriter *w, bool (*sink)(void *, const void *, size_t), void *to);
void writeheader(sfvwriter *w);
void savetosfv(sfvwriter *w, const sfvitem *item, bool has_type);
bool flushwriter(sfvwriter *w);

/*
 * tree.cpp. A seenset holds the distinct URLs the kill stage has met;
 * it is the module's own record.
 */
struct seenset;
const sfvitem *nextpreorder(const sfvitem *item, std::vector<const sfvitem *> *pending);
seenset *new_seenset(void);
void free_seenset(seenset *seen);
bool killduplicates(sfvitem *list, seenset *seen, bool verbose);
void initcount(itemcount *count, const sfvitem *list);
void listitems(const sfvitem *list, size_t depth);

#endif
