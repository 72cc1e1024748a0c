/*
 * Records, option word and routines shared by the modules of Vantrel:
 * items and the favourites file format (sfv.cpp), the walks over the
 * trees (tree.cpp), the driver (vantrel.cpp) and the platform layer
 * that replaces the destination safely (platform.cpp).
 */
#ifndef VANTREL_H
#define VANTREL_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

enum itemkind { SFV_URL = 1, SFV_FOLDER = 2 };

#define SFV_MAGIC "SFV-FORMAT\x1a"
#define SFV_MAGICLEN 11
#define SFV_VERSION 101
#define SFV_TEXTMAX 1024 /* longest text a record may hold */

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
	int32_t setting[9];
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

enum {
	FLAG_VERBOSE = 1,
	FLAG_NOKILL = 2,
	FLAG_ITEMS = 4,
	FLAG_LISTUP = 8,
	FLAG_VERSION = 16
};

extern uint32_t options;

/* A source file, read through a buffer of its own. */
struct sfvreader {
	FILE *fp;
	size_t pos;
	size_t len;
	unsigned char buf[1 << 16];
};

/* A destination file; failed turns true at the first write that fails. */
struct sfvwriter {
	FILE *fp;
	size_t len;
	bool failed;
	unsigned char buf[1 << 16];
};

/*
 * A destination being written: straight, or to a new file that takes
 * the place of path once complete.
 */
struct output {
	std::string path;      /* the file to replace: a symbolic link's target */
	std::string temp;      /* the new file's name, or the one it will take */
	bool replace = false;  /* written to a new file, not straight */
	bool named = false;    /* the new file is there under temp */
	sfvwriter w;
};

enum headercheck { HEADER_OK, HEADER_NOTSFV, HEADER_VERSION };

/*
 * Memory for items, seen-list entries and the seen index. The build for
 * the tests (VANTREL_TESTBUILD) counts these allocations and fails the
 * one whose number the environment variable VANTREL_FAILALLOC gives, so
 * that the tests can reach every path of a failed allocation; the tool
 * as shipped calls malloc straight.
 */
#ifdef VANTREL_TESTBUILD
void *itemalloc(size_t size);
#else
inline void *
itemalloc(size_t size)
{
	return std::malloc(size);
}
#endif

/* sfv.cpp */
sfvitem *new_sfvitem(size_t textsize);
void free_sfvitem(sfvitem *item);
const sfvitem *nextpreorder(const sfvitem *item, std::vector<const sfvitem *> *pending);
void initreader(sfvreader *r, FILE *fp);
headercheck readheader(sfvreader *r);
sfvitem *readitemfromsfv(sfvreader *r, bool has_type);
void initwriter(sfvwriter *w, FILE *fp);
void writeheader(sfvwriter *w);
void savetosfv(sfvwriter *w, const sfvitem *item, bool has_type);
bool flushwriter(sfvwriter *w);

/* tree.cpp */
sfvitem *killduplicates(sfvitem *list);
void initcount(itemcount *count, const sfvitem *list);
void countitems(itemcount *count, const sfvitem *list);
void indent(size_t depth);
void listitems(const sfvitem *list, size_t depth);

/* platform.cpp */
void guardstdfds(void);
void takeargs(int *argc, char ***argv);
FILE *openinput(const std::string &name);
bool openoutput(output *out, const std::string &name);
bool completeoutput(output *out);
void discardoutput(output *out);
uint64_t randombits(void);

#endif
