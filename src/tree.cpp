// SPDX-License-Identifier: MIT
// Copyright (c) 2026 the Vantrel developers
/*
 * Walks over the linked LINKS->Favorite list: removing duplicate URL
 * items, counting items, listing them. Every walk visits items in the
 * order they stand in the file (depth first, pre-order) and keeps its
 * own stack, however deep the folders nest.
 */
#include <cstdlib>
#include <cstring>
#include <new>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "vantrel.h"

uint32_t options; /* set once by the driver, from the command line */

/* One URL met by the duplicate walk; its text follows it in memory. */
struct sfvitemmini {
	sfvitemmini *next;
	char *url;
};

/*
 * A place in the seen index: the hash of a URL and the seen-list
 * entry's copy of its text, or no text. A lookup reads the slot alone
 * and the text only when the hashes agree, so that a URL met for the
 * first time costs one memory access that misses the caches, and a
 * duplicate two.
 */
struct seenslot {
	size_t hash;
	const char *url;
};

/*
 * The distinct URLs met so far, in the order they were first met. Its
 * tail is kept beside it, and an index of its texts: an open-addressed
 * table, a power of two in size and never more than half full, so that
 * adding and finding take constant time however long the list grows.
 */
static sfvitemmini *seenlist;
static sfvitemmini *seentail;
static seenslot *seenindex;
static size_t seensize;
static size_t seencount;

/* Allocates an entry holding a copy of url; reports and returns none when memory runs out. */
static sfvitemmini *
new_sfvitemmini(const char *url)
{
	size_t n = std::strlen(url) + 1;
	void *p = itemalloc(sizeof(sfvitemmini) + n);

	if (p == nullptr) {
		std::fputs("Error: new_sfvitemmini: can't malloc\n", stdout);
		return nullptr;
	}
	char *text = static_cast<char *>(p) + sizeof(sfvitemmini);
	return new (p) sfvitemmini{nullptr, static_cast<char *>(std::memcpy(text, url, n))};
}

/*
 * Has each seen-list entry's block merged with its free neighbours as
 * it is freed, where the C library would put off merging such small
 * blocks until a large one is freed, and then merge hundreds of
 * thousands at once, jumping about the whole heap. Only the GNU C
 * library is told so; it changes where blocks go, never how many.
 */
static void
mergesmallblocks(void)
{
#if defined(__GLIBC__) && defined(M_MXFAST)
	mallopt(M_MXFAST, 0);
#endif
}

/* Frees every entry of the seen list and empties it and its index. */
static void
freestack(void)
{
	while (seenlist != nullptr) {
		sfvitemmini *next = seenlist->next;
		itemfree(seenlist);
		seenlist = next;
	}
	seentail = nullptr;
	itemfree(seenindex);
	seenindex = nullptr;
	seensize = 0;
	seencount = 0;
}

/*
 * The key of the URL hash, drawn once per run, so that no file can be
 * made whose URLs all share one hash and turn the index into one long
 * chain. Where the system gives no random bits the key stays fixed:
 * the index still works, it only loses that protection.
 */
static uint64_t hashkey[2];
static bool haskey;

/* Draws the hash key, the first time only. */
static void
drawkey(void)
{
	if (haskey)
		return;
	haskey = true;
	hashkey[0] = randombits();
	hashkey[1] = randombits();
}

/* x rotated left by b bits, 0 < b < 64. */
static inline uint64_t
rotl(uint64_t x, int b)
{
	return x << b | x >> (64 - b);
}

/* The little-endian number in the 8 bytes at p, read as one load. */
static inline uint64_t
load64(const unsigned char *p)
{
	return uint64_t(p[0]) | uint64_t(p[1]) << 8 | uint64_t(p[2]) << 16 |
	    uint64_t(p[3]) << 24 | uint64_t(p[4]) << 32 | uint64_t(p[5]) << 40 |
	    uint64_t(p[6]) << 48 | uint64_t(p[7]) << 56;
}

/* One SipHash round over the state v. */
static inline void
sipround(uint64_t v[4])
{
	v[0] += v[1], v[1] = rotl(v[1], 13), v[1] ^= v[0], v[0] = rotl(v[0], 32);
	v[2] += v[3], v[3] = rotl(v[3], 16), v[3] ^= v[2];
	v[0] += v[3], v[3] = rotl(v[3], 21), v[3] ^= v[0];
	v[2] += v[1], v[1] = rotl(v[1], 17), v[1] ^= v[2], v[2] = rotl(v[2], 32);
}

/* Mixes the 8-byte block m into the state v, with one round. */
static inline void
sipblock(uint64_t v[4], uint64_t m)
{
	v[3] ^= m;
	sipround(v);
	v[0] ^= m;
}

/*
 * The hash under which the index files url: SipHash-1-3 of its bytes
 * under the run's key. The last block holds the bytes left over (none
 * for a length that is a multiple of 8), zeros, and the length's low
 * byte last.
 */
static size_t
hashurl(const char *url)
{
	const unsigned char *p = reinterpret_cast<const unsigned char *>(url);
	size_t len = std::strlen(url), i = 0;
	unsigned char last[8] = {0};
	uint64_t v[4] = {
		hashkey[0] ^ 0x736f6d6570736575ULL, hashkey[1] ^ 0x646f72616e646f6dULL,
		hashkey[0] ^ 0x6c7967656e657261ULL, hashkey[1] ^ 0x7465646279746573ULL,
	};

	for (; len - i >= 8; i += 8)
		sipblock(v, load64(p + i));
	std::memcpy(last, p + i, len - i);
	last[7] = static_cast<unsigned char>(len);
	sipblock(v, load64(last));
	v[2] ^= 0xff;
	sipround(v);
	sipround(v);
	sipround(v);
	return static_cast<size_t>(v[0] ^ v[1] ^ v[2] ^ v[3]);
}

/*
 * The slot of the index that holds url, whose hash is given, or the
 * empty slot where it belongs. The index must not be empty.
 */
static seenslot *
findslot(const char *url, size_t hash)
{
	size_t mask = seensize - 1;

	for (size_t i = hash & mask;; i = (i + 1) & mask) {
		seenslot *s = &seenindex[i];
		if (s->url == nullptr ||
		    (s->hash == hash && std::strcmp(s->url, url) == 0))
			return s;
	}
}

/* Tells whether url, whose hash is given, has been met before. */
static bool
instack(const char *url, size_t hash)
{
	return seensize > 0 && findslot(url, hash)->url != nullptr;
}

/*
 * Puts slot, whose text the index lacks, into the first empty place
 * from its hash on. Its text is not read: the index holds each text
 * once, so no slot met on the way can be the same URL.
 */
static void
placeslot(seenslot slot)
{
	size_t mask = seensize - 1, i = slot.hash & mask;

	while (seenindex[i].url != nullptr)
		i = (i + 1) & mask;
	seenindex[i] = slot;
}

/*
 * Doubles the index (or makes its first slots) and places every slot
 * anew, by its hash alone. Reports and returns false, the index as it
 * was, when memory runs out.
 */
static bool
growindex(void)
{
	size_t size = seensize == 0 ? 1024 : 2 * seensize;
	seenslot *old = seenindex;
	size_t oldsize = seensize;
	void *p = itemalloc(size * sizeof(seenslot));

	if (p == nullptr) {
		std::fputs("Error: growindex: can't malloc\n", stdout);
		return false;
	}
	seenindex = static_cast<seenslot *>(std::memset(p, 0, size * sizeof(seenslot)));
	seensize = size;
	for (size_t i = 0; i < oldsize; i++)
		if (old[i].url != nullptr)
			placeslot(old[i]);
	itemfree(old);
	return true;
}

/*
 * Appends url, whose hash is given, to the seen list. When no entry can
 * be allocated the list stays as it was, so a later item with this url
 * will survive.
 */
static void
addstack(const char *url, size_t hash)
{
	if (2 * (seencount + 1) > seensize && !growindex()) {
		std::fputs("Error: addstack: growindex failed\n", stdout);
		return;
	}
	sfvitemmini *e = new_sfvitemmini(url);
	if (e == nullptr) {
		std::fputs("Error: addstack: new_sfvitemmini failed\n", stdout);
		return;
	}
	placeslot({hash, e->url});
	seencount++;
	if (seentail == nullptr)
		seenlist = e;
	else
		seentail->next = e;
	seentail = e;
}

/*
 * How many URL items the kill walk hashes ahead of the one it judges.
 * Their slots are asked for as they are hashed, and the texts found
 * there halfway along, so that the memory system fetches several at
 * once, where one lookup after another would wait for each in turn.
 */
#define LOOKAHEAD 8

/* How many places from a hash on the lookahead looks at: one cache line of slots on a 64-bit machine. */
#define LOOKPLACES 4

/*
 * A URL item ahead of the kill walk: the hash of its url and, once the
 * lookahead has looked in the index, the text found there under that
 * hash, or none. Such a text is a seen-list entry's, which lasts as
 * long as the walk.
 */
struct urlahead {
	size_t hash;
	const char *seen;
};

/*
 * The URL items just ahead of the kill walk, met by a second walk that
 * only reads them, in the same order. It stays ahead of every item the
 * kill walk removes, so it meets the items as the file holds them, the
 * same as the kill walk does.
 */
struct lookahead {
	const sfvitem *next;                  /* where its walk goes on, or none */
	std::vector<const sfvitem *> pending; /* its walk's stack */
	urlahead ring[LOOKAHEAD];             /* the items ahead, from first on */
	size_t first;
	size_t count;
};

/*
 * Asks the memory system for the cache line at p, which is needed soon,
 * where the compiler offers a way; elsewhere the line comes when used.
 */
static inline void
prefetch(const void *p)
{
#if defined(__GNUC__) || defined(__clang__)
	__builtin_prefetch(p);
#else
	(void)p;
#endif
}

/*
 * Takes the lookahead to its next URL item, hashes its url and asks
 * for the slot where a lookup of that hash begins. Returns false when
 * no URL item is left.
 */
static bool
lookfurther(lookahead *la)
{
	const sfvitem *item = la->next;

	while (item != nullptr && item->kind == SFV_FOLDER)
		item = nextpreorder(item, &la->pending);
	if (item == nullptr) {
		la->next = nullptr;
		return false;
	}
	la->next = nextpreorder(item, &la->pending);
	size_t hash = hashurl(item->url);
	if (seensize > 0)
		prefetch(&seenindex[hash & (seensize - 1)]);
	la->ring[(la->first + la->count) % LOOKAHEAD] = {hash, nullptr};
	la->count++;
	return true;
}

/*
 * Looks in the index for the item halfway along the full lookahead,
 * whose slots were asked for when it was hashed and have most likely
 * come by now, and asks for the text held under its hash: the item is
 * then most likely a duplicate, whose url will be compared with that
 * text. Only the first places from the hash are looked at, where
 * nearly every URL lies; no text is read here.
 */
static void
lookinindex(lookahead *la)
{
	if (la->count < LOOKAHEAD || seensize == 0)
		return;
	urlahead *u = &la->ring[(la->first + LOOKAHEAD / 2) % LOOKAHEAD];
	size_t mask = seensize - 1, i = u->hash & mask;

	for (int n = 0; n < LOOKPLACES && seenindex[i].url != nullptr; n++, i = (i + 1) & mask) {
		if (seenindex[i].hash == u->hash) {
			u->seen = seenindex[i].url;
			prefetch(u->seen);
			return;
		}
	}
}

/*
 * The URL item that the kill walk has reached, the first one the
 * lookahead holds: the lookahead is filled up first, so it always
 * holds it.
 */
static urlahead
nexturl(lookahead *la)
{
	while (la->count < LOOKAHEAD && lookfurther(la))
		continue;
	lookinindex(la);
	urlahead u = la->ring[la->first];
	la->first = (la->first + 1) % LOOKAHEAD;
	la->count--;
	return u;
}

/*
 * Tells whether a URL item with this url stays: true the first time
 * url is met, when it joins the seen list. When url is the text that
 * the lookahead found under its hash, it was met before; otherwise the
 * index is asked, which also holds the URLs met since the lookahead
 * looked.
 */
static bool
keepurl(const char *url, urlahead u)
{
	if (u.seen != nullptr && std::strcmp(u.seen, url) == 0)
		return false;
	if (instack(url, u.hash))
		return false;
	addstack(url, u.hash);
	return true;
}

/*
 * Removes from list, and from the child lists of its folders, every URL
 * item whose url was met earlier in file order, and frees it alone.
 * Folders stay, even when emptied. Adds the number removed to
 * *removed and returns the list's head, which changes when its first
 * item goes.
 */
static sfvitem *
killdup(sfvitem *list, int32_t *removed)
{
	std::vector<sfvitem **> pending;
	sfvitem **link = &list;
	lookahead ahead = {list, {}, {}, 0, 0};

	for (;;) {
		sfvitem *item = *link;
		if (item == nullptr) {
			if (pending.empty())
				break;
			link = pending.back();
			pending.pop_back();
		} else if (item->kind == SFV_FOLDER) {
			pending.push_back(&item->next);
			link = &item->child;
		} else if (keepurl(item->url, nexturl(&ahead))) {
			link = &item->next;
		} else {
			*link = item->next;
			if (options & FLAG_VERBOSE)
				std::printf("Dup.Deleted %s (%s)\n", item->title, item->url);
			itemfree(item);
			(*removed)++;
		}
	}
	return list;
}

/* The kill stage's work: removes the duplicates of list, reports, and forgets the URLs met. */
sfvitem *
killduplicates(sfvitem *list)
{
	int32_t removed = 0;

	drawkey();
	mergesmallblocks();
	try {
		list = killdup(list, &removed);
	} catch (const std::bad_alloc &) {
		freestack();
		throw;
	}
	std::printf("Deleted %d items.\n", removed);
	if (seenlist != nullptr) {
		std::fputs("Freeing stack...", stdout);
		freestack();
		std::fputs("Done\n", stdout);
	}
	return list;
}

void
initcount(itemcount *count, const sfvitem *list)
{
	*count = itemcount();
	countitems(count, list);
}

/* Adds the items of list and everything below them to count. */
void
countitems(itemcount *count, const sfvitem *list)
{
	std::vector<const sfvitem *> pending;

	for (const sfvitem *it = list; it != nullptr;
	    it = nextpreorder(it, &pending)) {
		count->items++;
		if (it->kind == SFV_FOLDER)
			count->folders++;
		else
			count->urls++;
	}
}

/* Folder colour names, in Shift-JIS as the browser shows them. */
static const char *const colornames[] = {
	"\x83\x66\x83\x74\x83\x48\x83\x8b\x83\x67",
	"\x90\xd4",
	"\x8e\x87",
	"\x90\xc2",
	"\x90\x85\x90\x46",
	"\x97\xce",
	"\x94\x92",
	"\x8a\x44\x90\x46",
	"\x8d\x95",
};

/* Prints depth spaces; deep folders need many, so they go out in blocks. */
void
indent(size_t depth)
{
	static const char spaces[] = "                                ";

	while (depth > 0) {
		size_t n = depth < sizeof(spaces) - 1 ? depth : sizeof(spaces) - 1;
		std::fwrite(spaces, 1, n, stdout);
		depth -= n;
	}
}

/* Prints the on/off settings as letters, then the last setting, a number. */
static void
listsetting(const sfvitem *item)
{
	static const char letters[SFV_SETTINGFLAGS + 1] = "JAXDPSVL";
	bool bare = item->setting_flag != 0;

	std::fputs(bare ? "Setting:" : "Setting:(", stdout);
	for (int i = 0; i < SFV_SETTINGFLAGS; i++)
		std::putchar(item->setting[i] != 0 ? letters[i] : '-');
	std::printf(bare ? ",%d\n" : ",%d)\n", item->setting[SFV_SETTINGFLAGS]);
}

/* Prints the lines of one item; depth is its indentation. */
static void
listitem(const sfvitem *item, size_t depth)
{
	indent(depth);
	std::printf("Title:%s\n", item->title);
	indent(depth);
	std::printf("Comment:%s\n", item->comment);
	indent(depth);
	listsetting(item);
	indent(depth);
	if (item->kind == SFV_URL) {
		std::printf("URL:%s\n", item->url);
		indent(depth);
		std::printf("Visited:%d\n", item->visited);
	} else if (item->color >= 0 && size_t(item->color) < std::size(colornames)) {
		std::printf("Color:%s\n", colornames[item->color]);
	} else {
		std::printf("Color:%d\n", item->color);
	}
}

/*
 * Prints every item of list and everything below it, a folder's
 * children one level deeper than the folder, and an empty line
 * between each item (with all below it) and its next sibling.
 */
void
listitems(const sfvitem *list, size_t depth)
{
	std::vector<const sfvitem *> pending;

	for (const sfvitem *it = list; it != nullptr;) {
		listitem(it, depth + pending.size());
		const sfvitem *next = nextpreorder(it, &pending);
		if (next != nullptr && next != it->child)
			std::putchar('\n');
		it = next;
	}
}
