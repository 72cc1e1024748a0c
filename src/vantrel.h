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

/* A place in the seen index: the hash of a URL and an entry's copy of its text, or none. */
struct seenslot {
	size_t hash;
	const char *url;
};

struct sfvitemmini;

/*
 * How many URL items the seen set hashes ahead of the one it is asked
 * about: enough that the slot asked for when an item was hashed has come
 * from memory by the time the item is judged.
 */
#define SEEN_LOOKAHEAD 8

/* A URL item ahead of the one the seen set is asked about, and the hash of its url. */
struct urlahead {
	const sfvitem *item;
	size_t hash;
};

/*
 * The URL items just ahead of the one the seen set is asked about, met
 * by a walk of its own that only reads them, in the same order.
 */
struct lookahead {
	const sfvitem *next;                  /* where its walk goes on, or none */
	std::vector<const sfvitem *> pending; /* its walk's stack */
	urlahead ring[SEEN_LOOKAHEAD];        /* the items ahead, from first on */
	size_t first;
	size_t count;
};

/*
 * The distinct URLs the kill stage has met, each in an entry of its
 * own, listed in the order met, and an index of them: open-addressed, a
 * power of two in size and never more than half full, so that finding
 * and adding take constant time however many there are. The index files
 * each URL under a hash keyed with the system's random bits when the
 * set gets its index. An empty set is one value-initialised ({}).
 */
struct seenset {
	sfvitemmini *first;
	sfvitemmini *last;
	seenslot *index;
	size_t size;
	size_t count;
	uint64_t key[2];
	lookahead ahead;
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
 * Memory for items, seen entries and the seen index. The build for
 * the tests (VANTREL_TESTBUILD, with tests/testbuild.cpp) counts these
 * allocations and fails the one whose number the environment variable
 * VANTREL_FAILALLOC gives, so that the tests can reach every path of a
 * failed allocation, and it ends with status 99 a run that leaves any
 * block unfreed; the tool as shipped calls malloc and free straight.
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

/* tree.cpp */
const sfvitem *nextpreorder(const sfvitem *item, std::vector<const sfvitem *> *pending);
size_t hashurl(const seenset *seen, const char *url);
void freeseen(seenset *seen);
sfvitem *killduplicates(sfvitem *list, seenset *seen, bool verbose);
void initcount(itemcount *count, const sfvitem *list);
void listitems(const sfvitem *list, size_t depth);

#endif
