// SPDX-License-Identifier: MIT
// Copyright (c) 2026 the Vantrel developers
/*
 * sfvfloor: the least a cleaning run of Vantrel's design can cost, for
 * bench/run to measure the tool against.
 *
 *	sfvfloor srcfile dstfile
 *
 * It does what a cleaning run does, with the costs the design fixes:
 * one thread; every item, and every URL the kill walk records, in an
 * allocation of its own, freed on its own, the URLs at the end of the
 * walk and the items at the end of the run; both trees in memory before
 * the walk; the new file written beside the destination, flushed with
 * fsync, renamed over it and its folder flushed. All else is as cheap
 * as it can be made: reads of a mebibyte, one write buffer, a keyed
 * hash of a few multiplications, an index sized once for every URL
 * item of the file, the slots of URLs a few items ahead prefetched and
 * the text found in the slot of the item halfway along, the URLs freed
 * in the order they were allocated and, with the GNU C library, small
 * blocks merged as they are freed (the fastest of the ways tried). It prints nothing but an error, checks lengths against
 * what is left and nothing else, and writes the same bytes as the tool.
 */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

enum { URL = 1, FOLDER = 2 };
static const size_t BUFSIZE = 1 << 20;
static const int32_t TEXTMAX = 1024;
static const size_t NUMBERS = 14; /* numbers after a record's texts */
static const size_t AHEAD = 8;    /* URL items hashed ahead of the walk */
static const size_t RECORDMAX = 1 + 3 * (4 + TEXTMAX) + NUMBERS * 4 + 4;

/* Vantrel's item, the same fields and the texts after it. */
struct item {
	char *title;
	char *comment;
	int32_t numbers[NUMBERS]; /* in file order */
	char *url;
	int32_t visited;
	int32_t color;
	item *child;
	item *next;
	int kind;
};

struct slot {
	uint64_t hash;
	char *url;
};

static int fd;
static unsigned char in[BUFSIZE], out[BUFSIZE];
static size_t inpos, inlen, outlen;
static size_t urlitems;
static uint64_t key[2];
static std::vector<char *> copies; /* the URLs recorded, in the order allocated */

[[noreturn]] static void
fail(const char *what)
{
	std::printf("sfvfloor: %s\n", what);
	std::exit(1);
}

/* Makes the next n bytes of the source, or all that is left, lie in the buffer. */
static void
fill(size_t n)
{
	if (inlen - inpos >= n)
		return;
	std::memmove(in, in + inpos, inlen - inpos);
	inlen -= inpos;
	inpos = 0;
	for (ssize_t k; inlen < n && (k = read(fd, in + inlen, BUFSIZE - inlen)) > 0;)
		inlen += size_t(k);
}

/* The next n bytes, which fill() has put in the buffer. */
static const unsigned char *
take(size_t n)
{
	if (inlen - inpos < n)
		fail("the source ends early");
	inpos += n;
	return in + inpos - n;
}

static int32_t
le32(const unsigned char *b)
{
	return int32_t(uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24);
}

static int32_t
takeint(void)
{
	return le32(take(4));
}

/* A text's length, checked; its bytes are taken when the item is made. */
static int32_t
takelength(void)
{
	int32_t n = takeint();

	if (n < 0 || n > TEXTMAX)
		fail("a text is too long");
	return n;
}

static char *
placetext(char **room, const unsigned char *bytes, int32_t n)
{
	char *p = *room;

	std::memcpy(p, bytes, size_t(n));
	p[n] = '\0';
	*room += n + 1;
	return p;
}

/* Reads one record into a new item; *children gets a folder's count. */
static item *
readitem(bool has_type, int32_t *children)
{
	fill(RECORDMAX);
	int kind = has_type ? int(*take(1)) : int(FOLDER);
	int32_t tl = takelength();
	const unsigned char *t = take(size_t(tl));
	int32_t cl = takelength();
	const unsigned char *c = take(size_t(cl));
	const unsigned char *nums = take(NUMBERS * 4);
	int32_t ul = 0;
	const unsigned char *u = nullptr;

	if (kind == URL) {
		ul = takelength();
		u = take(size_t(ul) + 4);
		urlitems++;
	} else if (kind != FOLDER) {
		fail("a type is unknown");
	} else {
		u = take(8);
	}
	item *it = static_cast<item *>(std::malloc(sizeof(item) + size_t(tl + cl + ul) + 3));
	if (it == nullptr)
		fail("out of memory");
	char *room = reinterpret_cast<char *>(it + 1);
	it->title = placetext(&room, t, tl);
	it->comment = placetext(&room, c, cl);
	for (size_t i = 0; i < NUMBERS; i++)
		it->numbers[i] = le32(nums + 4 * i);
	it->url = placetext(&room, u, ul);
	it->visited = kind == URL ? le32(u + ul) : 0;
	it->color = kind == URL ? 0 : le32(u);
	*children = kind == URL ? 0 : le32(u + 4);
	it->child = it->next = nullptr;
	it->kind = kind;
	return it;
}

/* Reads a root and all below it, keeping a stack of open folders. */
static item *
readtree(void)
{
	struct open {
		item **tail;
		int32_t left;
	};
	std::vector<open> stack;
	int32_t n;
	item *root = readitem(false, &n);

	stack.push_back({&root->child, n});
	while (!stack.empty()) {
		if (stack.back().left-- <= 0) {
			stack.pop_back();
			continue;
		}
		item *it = readitem(true, &n);
		*stack.back().tail = it;
		stack.back().tail = &it->next;
		if (it->kind == FOLDER)
			stack.push_back({&it->child, n});
	}
	return root;
}

static inline uint64_t
mix(uint64_t h)
{
	h ^= h >> 32;
	h *= 0x9e3779b97f4a7c15ULL;
	return h ^ h >> 29;
}

/* A keyed hash of a few multiplications, 8 bytes at a time. */
static uint64_t
hashtext(const char *s)
{
	size_t n = std::strlen(s);
	uint64_t h = key[0] ^ n;

	for (; n >= 8; n -= 8, s += 8) {
		uint64_t w;
		std::memcpy(&w, s, 8);
		h = mix(h ^ w) + key[1];
	}
	uint64_t w = 0;
	std::memcpy(&w, s, n);
	return mix(h ^ w ^ key[1]);
}

/* The URL items of the walk's order, from a given one on: a second walk that only reads. */
struct ahead {
	const item *next;
	std::vector<const item *> stack;
};

static const item *
nexturlitem(ahead *a)
{
	const item *it = a->next;

	for (;;) {
		if (it == nullptr) {
			if (a->stack.empty())
				return a->next = nullptr;
			it = a->stack.back();
			a->stack.pop_back();
		} else if (it->kind == FOLDER) {
			a->stack.push_back(it->next);
			it = it->child;
		} else {
			a->next = it->next;
			return it;
		}
	}
}

/*
 * Removes every URL item whose URL came earlier in the walk and frees
 * it; records each new URL in a copy of its own. The index, sized for
 * every URL item, never grows.
 */
static void
killdup(item *list, std::vector<slot> *index)
{
	std::vector<item **> stack;
	item **link = &list;
	size_t mask = index->size() - 1;
	uint64_t ring[AHEAD];
	size_t first = 0, inring = 0;
	ahead a = {list, {}};

	for (;;) {
		item *it = *link;
		if (it == nullptr) {
			if (stack.empty())
				break;
			link = stack.back();
			stack.pop_back();
			continue;
		}
		if (it->kind == FOLDER) {
			stack.push_back(&it->next);
			link = &it->child;
			continue;
		}
		for (const item *u; inring < AHEAD && (u = nexturlitem(&a)) != nullptr; inring++) {
			uint64_t h = hashtext(u->url);
			__builtin_prefetch(&(*index)[h & mask]);
			ring[(first + inring) % AHEAD] = h;
		}
		if (inring == AHEAD) {
			uint64_t h = ring[(first + AHEAD / 2) % AHEAD];
			const slot &half = (*index)[h & mask];
			if (half.url != nullptr && half.hash == h)
				__builtin_prefetch(half.url);
		}
		uint64_t h = ring[first];
		first = (first + 1) % AHEAD, inring--;
		size_t i = h & mask;
		while ((*index)[i].url != nullptr && ((*index)[i].hash != h || std::strcmp((*index)[i].url, it->url) != 0))
			i = (i + 1) & mask;
		if ((*index)[i].url != nullptr) {
			*link = it->next;
			std::free(it);
			continue;
		}
		char *copy = strdup(it->url);
		if (copy == nullptr)
			fail("out of memory");
		copies.push_back(copy);
		(*index)[i] = {h, copy};
		link = &it->next;
	}
}

static void
put(const void *p, size_t n)
{
	if (BUFSIZE - outlen < n) {
		if (write(fd, out, outlen) != ssize_t(outlen))
			fail("a write failed");
		outlen = 0;
	}
	std::memcpy(out + outlen, p, n);
	outlen += n;
}

static void
putint(int32_t v)
{
	unsigned char b[4] = {uint8_t(v), uint8_t(uint32_t(v) >> 8), uint8_t(uint32_t(v) >> 16), uint8_t(uint32_t(v) >> 24)};

	put(b, 4);
}

static void
puttext(const char *s)
{
	size_t n = std::strlen(s);

	putint(int32_t(n));
	put(s, n);
}

static void
putitem(const item *it, bool has_type)
{
	if (has_type) {
		unsigned char k = uint8_t(it->kind);
		put(&k, 1);
	}
	puttext(it->title);
	puttext(it->comment);
	for (int32_t v : it->numbers)
		putint(v);
	if (has_type && it->kind == URL) {
		puttext(it->url);
		putint(it->visited);
		return;
	}
	int32_t n = 0;
	for (const item *c = it->child; c != nullptr; c = c->next)
		n++;
	putint(it->color);
	putint(n);
}

/* Writes a root and all below it in file order. */
static void
puttree(const item *root)
{
	std::vector<const item *> stack;

	putitem(root, false);
	for (const item *it = root->child; it != nullptr;) {
		putitem(it, true);
		if (it->child != nullptr) {
			stack.push_back(it->next);
			it = it->child;
			continue;
		}
		it = it->next;
		while (it == nullptr && !stack.empty()) {
			it = stack.back();
			stack.pop_back();
		}
	}
}

/* Frees a tree item by item, its first children rotated into the sibling chain. */
static void
freetree(item *it)
{
	while (it != nullptr) {
		if (it->child != nullptr) {
			item *first = it->child;
			it->child = first->next;
			first->next = it;
			it = first;
		} else {
			item *next = it->next;
			std::free(it);
			it = next;
		}
	}
}

/* Writes both trees to a new file beside dst, puts it on disk and renames it over dst. */
static void
replace(const std::string &dst, const item *links, const item *favorite)
{
	std::string temp = dst + ".floor", dir = dst.find('/') == std::string::npos ? "." : dst.substr(0, dst.rfind('/') + 1);

	if ((fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)) < 0)
		fail("can't make the new file");
	put("SFV-FORMAT\x1a\x65\x00", 13);
	puttree(links);
	puttree(favorite);
	if (write(fd, out, outlen) != ssize_t(outlen) || fsync(fd) != 0 || close(fd) != 0)
		fail("can't write the new file");
	if (std::rename(temp.c_str(), dst.c_str()) != 0)
		fail("can't rename the new file");
	int d = open(dir.c_str(), O_RDONLY);
	if (d < 0 || fsync(d) != 0 || close(d) != 0)
		fail("can't flush the folder");
}

int
main(int argc, char **argv)
{
#if defined(__GLIBC__) && defined(M_MXFAST)
	mallopt(M_MXFAST, 0);
#endif
	if (argc != 3) {
		std::puts("usage: sfvfloor srcfile dstfile");
		return 2;
	}
	if ((fd = open(argv[1], O_RDONLY)) < 0)
		fail("can't open the source");
	fill(13);
	if (std::memcmp(take(13), "SFV-FORMAT\x1a\x65\x00", 13) != 0)
		fail("not a favourites file");
	item *links = readtree(), *favorite = readtree();
	close(fd);
	int r = open("/dev/urandom", O_RDONLY);
	if (r < 0 || read(r, key, sizeof(key)) != ssize_t(sizeof(key)) || close(r) != 0)
		fail("no random key");
	std::vector<slot> index(size_t(1) << (64 - __builtin_clzll(2 * urlitems + 1)));
	links->next = favorite;
	killdup(links, &index);
	for (char *copy : copies)
		std::free(copy);
	std::vector<slot>().swap(index);
	links->next = nullptr;
	replace(argv[2], links, favorite);
	freetree(links);
	freetree(favorite);
	return 0;
}
