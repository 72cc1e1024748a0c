// SPDX-License-Identifier: MIT
// Copyright (c) 2026 the Vantrel developers
/*
 * Walks over the linked LINKS->Favorite list: removing duplicate URL
 * items, counting items, listing them. Every walk visits items in the
 * order they stand in the file (depth first, pre-order) and keeps its
 * own stack, however deep the folders nest.
 */
#include <cstring>
#include <iterator>
#include <new>

#include "platform.h"
#include "vantrel.h"

/*
 * Returns the item after item in a depth-first pre-order walk of the
 * list it began with: its first child, else its next sibling, else the
 * next sibling of the nearest enclosing folder that has one. pending
 * holds one entry per enclosing folder, so its size is the depth.
 * Returns none when the walk is over.
 */
const sfvitem *
nextpreorder(const sfvitem *item, std::vector<const sfvitem *> *pending)
{
	if (item->child != nullptr) {
		pending->push_back(item->next);
		return item->child;
	}
	const sfvitem *next = item->next;
	while (next == nullptr && !pending->empty()) {
		next = pending->back();
		pending->pop_back();
	}
	return next;
}

/*
 * The slots of a new index, 16 KiB on a 64-bit machine: a file of a few
 * hundred URLs never grows it, and a large one skips the first few
 * doublings.
 */
#define SEEN_FIRSTSIZE 1024

/*
 * Asks the memory system for the cache line at p, which is needed soon,
 * where the compiler offers a way; elsewhere the line comes when used.
 */
#if defined(__GNUC__) || defined(__clang__)
#define prefetch(p) __builtin_prefetch(p)
#else
#define prefetch(p) ((void)(p))
#endif

/* A URL the set has met, in the order met; a copy of its text follows it in memory. */
struct sfvitemmini {
	sfvitemmini *next;
};

/* A place in the seen index: the hash of a URL and an entry's copy of its text, or none. */
struct seenslot {
	size_t hash;
	const char *url;
};

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
	const sfvitem *next = nullptr;        /* where its walk goes on, or none */
	std::vector<const sfvitem *> pending; /* its walk's stack */
	urlahead ring[SEEN_LOOKAHEAD] = {};   /* the items ahead, from first on */
	size_t first = 0;
	size_t count = 0;
};

/*
 * The distinct URLs the kill stage has met, each in an entry of its
 * own, listed in the order met, and an index of them: open-addressed, a
 * power of two in size and never more than half full, so that finding
 * and adding take constant time however many there are. The index files
 * each URL under a hash keyed with the set's own random bits.
 */
struct seenset {
	sfvitemmini *first = nullptr;
	sfvitemmini *last = nullptr;
	seenslot *index = nullptr;
	size_t size = 0;
	size_t count = 0;
	uint64_t key[2] = {};
	lookahead ahead;
};

/* The copy of its URL that entry e holds. */
static char *
entrytext(sfvitemmini *e)
{
	return reinterpret_cast<char *>(e + 1);
}

/*
 * Allocates an entry holding a copy of url; reports and returns none
 * when memory runs out.
 */
static sfvitemmini *
new_sfvitemmini(const char *url)
{
	size_t n = std::strlen(url) + 1;
	void *p = itemalloc(sizeof(sfvitemmini) + n);

	if (p == nullptr) {
		std::fputs("Error: new_sfvitemmini: can't malloc\n", stdout);
		return nullptr;
	}
	sfvitemmini *e = new (p) sfvitemmini{nullptr};
	std::memcpy(entrytext(e), url, n);
	return e;
}

/*
 * Allocates an empty set, keyed with the system's random bits, so that
 * no file can be made whose URLs all share one hash and turn the index
 * into one long chain; where the system gives none, the key is fixed
 * and the index only loses that protection. Returns none when memory
 * runs out.
 */
seenset *
new_seenset(void)
{
	void *p = itemalloc(sizeof(seenset));

	if (p == nullptr)
		return nullptr;
	seenset *seen = new (p) seenset();
	seen->key[0] = randombits();
	seen->key[1] = randombits();
	return seen;
}

/*
 * Frees every entry, in the order they were made, and the index, and
 * leaves the set empty. Freed in that order, blocks that lie side by
 * side in the heap are mostly freed one after another; in the order of
 * the index the C library would reach for a block at random each time,
 * and a cleaning would take a tenth longer.
 */
static void
emptyseen(seenset *seen)
{
	while (seen->first != nullptr) {
		sfvitemmini *next = seen->first->next;
		itemfree(seen->first);
		seen->first = next;
	}
	itemfree(seen->index);
	seen->last = nullptr;
	seen->index = nullptr;
	seen->size = seen->count = 0;
}

/* Frees the set and all it holds; none is nothing to free. */
void
free_seenset(seenset *seen)
{
	if (seen == nullptr)
		return;
	emptyseen(seen);
	seen->~seenset();
	itemfree(seen);
}

/* x rotated left by b bits, 0 < b < 64. */
static inline uint64_t
rotl(uint64_t x, int b)
{
	return x << b | x >> (64 - b);
}

/* The little-endian number in the 8 bytes at p. */
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
 * The hash under which the set files url: SipHash-1-3 of its bytes
 * under the set's key. The last block holds the bytes left over (none
 * for a length that is a multiple of 8), zeros, and the length's low
 * byte last.
 */
static size_t
hashurl(const seenset *seen, const char *url)
{
	const unsigned char *p = reinterpret_cast<const unsigned char *>(url);
	size_t len = std::strlen(url), i = 0;
	unsigned char last[8] = {0};
	uint64_t v[4] = {
		seen->key[0] ^ 0x736f6d6570736575ULL, seen->key[1] ^ 0x646f72616e646f6dULL,
		seen->key[0] ^ 0x6c7967656e657261ULL, seen->key[1] ^ 0x7465646279746573ULL,
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

/* The slot where a search for hash begins; the index must not be empty. */
static seenslot *
homeslot(const seenset *seen, size_t hash)
{
	return &seen->index[hash & (seen->size - 1)];
}

/*
 * The slot that holds url, whose hash is given, or the empty slot where
 * it belongs. Two URLs are the same when their texts are, byte for
 * byte; the hashes are compared first only to spare reading a text.
 * The index must not be empty.
 */
static seenslot *
findslot(const seenset *seen, const char *url, size_t hash)
{
	seenslot *s = homeslot(seen, hash), *end = seen->index + seen->size;

	for (;; s = s + 1 == end ? seen->index : s + 1)
		if (s->url == nullptr || (s->hash == hash && std::strcmp(s->url, url) == 0))
			return s;
}

/*
 * Doubles the index (or makes its first slots) and places every slot
 * anew. Returns false, the index as it was, when memory runs out.
 */
static bool
growindex(seenset *seen)
{
	size_t oldsize = seen->size, size = oldsize == 0 ? SEEN_FIRSTSIZE : 2 * oldsize;
	seenslot *old = seen->index;
	void *p = itemalloc(size * sizeof(seenslot));

	if (p == nullptr)
		return false;
	seen->index = static_cast<seenslot *>(std::memset(p, 0, size * sizeof(seenslot)));
	seen->size = size;
	for (size_t i = 0; i < oldsize; i++)
		if (old[i].url != nullptr)
			*findslot(seen, old[i].url, old[i].hash) = old[i];
	itemfree(old);
	return true;
}

/*
 * Records url, whose hash is given and which the set lacks. Where its
 * entry can't be had it reports, and the set stays as it was, so that a
 * later item with this url will survive. Returns false, the set as it
 * was, only when the index can't grow to hold it.
 */
static bool
addstack(seenset *seen, const char *url, size_t hash)
{
	if (2 * (seen->count + 1) > seen->size && !growindex(seen))
		return false;
	sfvitemmini *e = new_sfvitemmini(url);
	if (e == nullptr) {
		std::fputs("Error: addstack: new_sfvitemmini failed\n", stdout);
		return true;
	}
	*findslot(seen, url, hash) = {hash, entrytext(e)};
	seen->count++;
	if (seen->last == nullptr)
		seen->first = e;
	else
		seen->last->next = e;
	seen->last = e;
	return true;
}

/*
 * Takes the lookahead to its next URL item, hashes its url and asks
 * for the slot where a lookup of that hash begins. Returns false when
 * no URL item is left.
 */
static bool
lookfurther(seenset *seen)
{
	lookahead *la = &seen->ahead;
	const sfvitem *item = la->next;

	while (item != nullptr && item->kind == SFV_FOLDER)
		item = nextpreorder(item, &la->pending);
	if (item == nullptr) {
		la->next = nullptr;
		return false;
	}
	la->next = nextpreorder(item, &la->pending);
	size_t hash = hashurl(seen, item->url);
	prefetch(homeslot(seen, hash));
	la->ring[(la->first + la->count) % SEEN_LOOKAHEAD] = {item, hash};
	la->count++;
	return true;
}

/*
 * The lookahead's entry for item, which it holds first when item is the
 * URL item after the one last asked about. Otherwise, the first time
 * and wherever its walk ran out, it starts again at item; an item once
 * asked about is not asked about again, so an entry left from before
 * never matches.
 */
static urlahead
nexturl(seenset *seen, const sfvitem *item)
{
	lookahead *la = &seen->ahead;

	if (la->ring[la->first].item != item) {
		la->next = item;
		la->pending.clear();
		la->count = 0;
	}
	while (la->count < SEEN_LOOKAHEAD && lookfurther(seen))
		continue;
	urlahead u = la->ring[la->first];
	la->first = (la->first + 1) % SEEN_LOOKAHEAD;
	la->count--;
	return u;
}

/* What the seen set answers about a URL item. */
enum seenanswer { URL_NEW, URL_SEEN, URL_NOMEMORY };

/*
 * Tells whether the url of a URL item was met before; records it when
 * it was not. URL_NOMEMORY: the index could not grow to record it.
 * Items are asked about in the order of a pre-order walk, and no item
 * is freed before it has been asked about, so that the set can hash the
 * URL items just ahead and have the memory system fetch their slots
 * together, where one lookup after another would wait for each in turn:
 * a cleaning takes a tenth less time.
 */
static seenanswer
seenbefore(seenset *seen, const sfvitem *item)
{
	if (seen->size == 0)
		return addstack(seen, item->url, hashurl(seen, item->url)) ? URL_NEW : URL_NOMEMORY;
	size_t hash = nexturl(seen, item).hash;
	if (findslot(seen, item->url, hash)->url != nullptr)
		return URL_SEEN;
	return addstack(seen, item->url, hash) ? URL_NEW : URL_NOMEMORY;
}

/* Names a duplicate removed, with its title and its url. */
static void
namedup(const sfvitem *item)
{
	std::fputs("Dup.Deleted ", stdout);
	puttext(item->title);
	std::fputs(" (", stdout);
	puttext(item->url);
	std::fputs(")\n", stdout);
}

/*
 * Removes from list, and from the child lists of its folders, every URL
 * item whose url was met earlier in file order, and frees it alone; with
 * verbose, names each. Folders stay, even when emptied, and so does the
 * list's head, a root. Adds the number removed to *removed. Returns
 * false, having stopped, when the seen set's index can't grow.
 */
static bool
killdup(sfvitem *list, seenset *seen, bool verbose, int32_t *removed)
{
	std::vector<sfvitem **> pending;
	sfvitem **link = &list;

	for (;;) {
		sfvitem *item = *link;
		if (item == nullptr) {
			if (pending.empty())
				return true;
			link = pending.back();
			pending.pop_back();
		} else if (item->kind == SFV_FOLDER) {
			pending.push_back(&item->next);
			link = &item->child;
		} else {
			switch (seenbefore(seen, item)) {
			case URL_NOMEMORY:
				return false;
			case URL_NEW:
				link = &item->next;
				break;
			case URL_SEEN:
				*link = item->next;
				if (verbose)
					namedup(item);
				itemfree(item);
				(*removed)++;
				break;
			}
		}
	}
}

/*
 * The kill stage's work: removes the duplicates of list, reports, and
 * frees what seen recorded of the URLs met. Returns false, having
 * reported nothing, when the seen set's index can't grow.
 */
bool
killduplicates(sfvitem *list, seenset *seen, bool verbose)
{
	int32_t removed = 0;

	if (!killdup(list, seen, verbose, &removed))
		return false;
	std::printf("Deleted %d items.\n", removed);
	bool recorded = seen->count > 0;
	if (recorded)
		std::fputs("Freeing stack...", stdout);
	emptyseen(seen);
	if (recorded)
		std::fputs("Done\n", stdout);
	return true;
}

/* Adds the items of list and everything below them to count. */
static void
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

void
initcount(itemcount *count, const sfvitem *list)
{
	*count = itemcount();
	countitems(count, list);
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
static void
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

/* Prints a line of a label and one of the item's texts. */
static void
listtext(const char *label, const char *text)
{
	std::fputs(label, stdout);
	puttext(text);
	std::putchar('\n');
}

/* Prints the lines of one item; depth is its indentation. */
static void
listitem(const sfvitem *item, size_t depth)
{
	indent(depth);
	listtext("Title:", item->title);
	indent(depth);
	listtext("Comment:", item->comment);
	indent(depth);
	listsetting(item);
	indent(depth);
	if (item->kind == SFV_URL) {
		listtext("URL:", item->url);
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
