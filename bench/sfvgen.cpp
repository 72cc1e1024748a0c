// SPDX-License-Identifier: MIT
// Copyright (c) 2026 the Vantrel developers
/*
 * sfvgen: writes a large favourites file for timing Vantrel.
 *
 *	sfvgen [-c] nurls ndistinct outfile [seed]
 *
 * The file holds nurls URL items, half in LINKS and half in Favorite,
 * in folders of up to a hundred items, each folder holding a sub-folder
 * with two fifths of them. Exactly ndistinct URLs occur (every one at
 * least once, the rest of the items repeating them at random places);
 * titles and URLs are 20 to 80 bytes long. The same arguments always
 * give the same file.
 *
 * With -c every URL is 40 bytes long and all of them have one and the
 * same value under the standard library's unkeyed string hash (that of
 * 64-bit libstdc++), as a file made to slow down a hash table would.
 * Where that hash differs, sfvgen says so and fails.
 */
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

static const size_t GROUPSIZE = 100; /* URL items in a folder and its sub-folder */
static const size_t TEXTMIN = 20;
static const size_t TEXTMAX = 80;

/* The unkeyed string hash: its multiplier and seed, and the state every colliding URL reaches. */
static const uint64_t HASHMUL = 0xc6a4a7935bd1e995ULL;
static const uint64_t HASHSEED = 0xc70f6907ULL;
static const uint64_t COLLIDESTATE = 0x76616e7472656c21ULL;
static const size_t COLLIDEPREFIX = 32;

/* The file being written and the pseudo-random state that fills it. */
struct generator {
	FILE *fp;
	uint64_t rng;
	const std::vector<uint32_t> *urlids; /* the URL of each item */
	std::string (*urltext)(uint32_t id);
	size_t nextitem;
};

/* A 64-bit pseudo-random number (splitmix64): fast, and the same everywhere. */
static uint64_t
nextrandom(uint64_t *state)
{
	uint64_t z = (*state += 0x9e3779b97f4a7c15ULL);

	z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
	z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
	return z ^ (z >> 31);
}

/* A pseudo-random number in 0..n-1; n must not be zero. */
static uint64_t
randombelow(uint64_t *state, uint64_t n)
{
	return nextrandom(state) % n;
}

static void
putint(generator *g, int32_t v)
{
	uint32_t u = static_cast<uint32_t>(v);
	unsigned char b[4] = {
		static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8),
		static_cast<unsigned char>(u >> 16), static_cast<unsigned char>(u >> 24),
	};

	std::fwrite(b, 1, sizeof(b), g->fp);
}

static void
puttext(generator *g, const std::string &s)
{
	putint(g, static_cast<int32_t>(s.size()));
	std::fwrite(s.data(), 1, s.size(), g->fp);
}

/* Pads s with letters drawn from state until it is len bytes long. */
static void
pad(std::string *s, size_t len, uint64_t *state)
{
	static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789-_";

	while (s->size() < len)
		*s += letters[randombelow(state, sizeof(letters) - 1)];
}

/*
 * The URL text of URL number id: its own host name, so that different
 * numbers never give the same text, and a path that makes it 20 to 80
 * bytes long, both drawn from the number alone.
 */
static std::string
plainurl(uint32_t id)
{
	uint64_t state = id;
	std::string s = "http://s" + std::to_string(id) + ".example/";

	pad(&s, TEXTMIN + randombelow(&state, TEXTMAX - TEXTMIN + 1), &state);
	return s;
}

/* v with its top 17 bits folded into its low ones; applied twice, it gives v back. */
static uint64_t
shiftmix(uint64_t v)
{
	return v ^ v >> 47;
}

/* The inverse of the odd number a modulo 2^64, by Newton's iteration (3, 6, ..., 96 bits). */
static uint64_t
inverse(uint64_t a)
{
	uint64_t x = a;

	for (int i = 0; i < 5; i++)
		x *= 2 - a * x;
	return x;
}

/*
 * The unkeyed hash's state after the 8-byte blocks of s (its size a
 * multiple of 8), for a text len bytes long in all.
 */
static uint64_t
hashstate(const std::string &s, size_t len)
{
	uint64_t h = HASHSEED ^ len * HASHMUL;

	for (size_t i = 0; i < s.size(); i += 8) {
		uint64_t k = 0;
		for (size_t j = 8; j > 0; j--)
			k = k << 8 | static_cast<unsigned char>(s[i + j - 1]);
		h = (h ^ shiftmix(k * HASHMUL) * HASHMUL) * HASHMUL;
	}
	return h;
}

/*
 * The 8-byte block, little-endian, that takes the hash state h to
 * COLLIDESTATE: each step of a block's mixing undone in turn.
 */
static uint64_t
collidingblock(uint64_t h)
{
	static const uint64_t inv = inverse(HASHMUL);

	return shiftmix((COLLIDESTATE * inv ^ h) * inv) * inv;
}

/* Tells whether s holds no byte below 0x20 (a zero or a control byte). */
static bool
printable(const std::string &s)
{
	for (char c : s)
		if (static_cast<unsigned char>(c) < 0x20)
			return false;
	return true;
}

/*
 * The URL text of colliding URL number id: a prefix of 32 bytes that
 * no other number has, then the block that brings the hash state to
 * COLLIDESTATE, so that the hash of the whole is the same for every
 * number. A zero byte would end the text early and a control byte would
 * break a listing's lines, so while the block holds either the prefix
 * changes and the block is chosen anew (three tries on average). Fails,
 * saying so, where the standard library's hash is another.
 */
static std::string
collidingurl(uint32_t id)
{
	static const size_t want = shiftmix(shiftmix(COLLIDESTATE) * HASHMUL);

	for (unsigned attempt = 0;; attempt++) {
		std::string s = "http://h.test/" + std::to_string(id) + "/" + std::to_string(attempt);
		s.resize(COLLIDEPREFIX, 'x');
		uint64_t k = collidingblock(hashstate(s, COLLIDEPREFIX + 8));
		for (int i = 0; i < 8; i++)
			s += static_cast<char>(k >> 8 * i);
		if (!printable(s))
			continue;
		if (std::hash<std::string_view>()(s) != want) {
			std::fputs("sfvgen: this standard library's string hash is not the one -c defeats\n", stdout);
			std::exit(1);
		}
		return s;
	}
}

/* A title of 20 to 80 bytes. */
static std::string
titletext(generator *g, const char *what, size_t n)
{
	std::string s = std::string(what) + " " + std::to_string(n) + " ";

	pad(&s, TEXTMIN + randombelow(&g->rng, TEXTMAX - TEXTMIN + 1), &g->rng);
	return s;
}

/* Fields 2 to 11 of a record: texts, then the numbers in file order. */
static void
putbody(generator *g, const std::string &title)
{
	puttext(g, title);
	puttext(g, randombelow(&g->rng, 10) == 0 ? titletext(g, "Note", g->nextitem) : "");
	for (int i = 0; i < 3; i++)
		putint(g, static_cast<int32_t>(nextrandom(&g->rng)));
	putint(g, static_cast<int32_t>(randombelow(&g->rng, 2)));
	for (int i = 0; i < 8; i++)
		putint(g, static_cast<int32_t>(randombelow(&g->rng, 2)));
	putint(g, static_cast<int32_t>(randombelow(&g->rng, 100)));
	putint(g, static_cast<int32_t>(nextrandom(&g->rng)));
}

/* A folder record up to its child count (a root has no type byte). */
static void
putfolder(generator *g, bool has_type, int32_t children)
{
	if (has_type)
		std::fputc(2, g->fp);
	putbody(g, titletext(g, "Folder", g->nextitem));
	putint(g, static_cast<int32_t>(randombelow(&g->rng, 9)));
	putint(g, children);
}

/* The next URL item record. */
static void
puturl(generator *g)
{
	uint32_t id = (*g->urlids)[g->nextitem++];

	std::fputc(1, g->fp);
	putbody(g, titletext(g, "Page", g->nextitem));
	puttext(g, g->urltext(id));
	putint(g, static_cast<int32_t>(randombelow(&g->rng, 1000)));
}

/* A folder of n URL items, the last two fifths of them in a sub-folder. */
static void
putgroup(generator *g, size_t n)
{
	size_t inner = n * 2 / 5;

	putfolder(g, true, static_cast<int32_t>(n - inner + 1));
	for (size_t i = 0; i < n - inner; i++)
		puturl(g);
	putfolder(g, true, static_cast<int32_t>(inner));
	for (size_t i = 0; i < inner; i++)
		puturl(g);
}

/* A tree root holding n URL items in groups. */
static void
puttree(generator *g, const char *name, size_t n)
{
	size_t groups = (n + GROUPSIZE - 1) / GROUPSIZE;

	putbody(g, name);
	putint(g, 0);
	putint(g, static_cast<int32_t>(groups));
	for (size_t i = 0; i < groups; i++)
		putgroup(g, n - i * GROUPSIZE < GROUPSIZE ? n - i * GROUPSIZE : GROUPSIZE);
}

/*
 * The URL number of each of n items: every number below distinct once,
 * the others drawn at random, and all of them shuffled.
 */
static std::vector<uint32_t>
urlplan(size_t n, size_t distinct, uint64_t *state)
{
	std::vector<uint32_t> ids(n);

	for (size_t i = 0; i < n; i++)
		ids[i] = static_cast<uint32_t>(i < distinct ? i : randombelow(state, distinct));
	for (size_t i = n; i > 1; i--)
		std::swap(ids[i - 1], ids[randombelow(state, i)]);
	return ids;
}

/* Reads a whole non-negative decimal number; false for anything else. */
static bool
number(const char *s, unsigned long long *v)
{
	char *end;

	errno = 0;
	*v = std::strtoull(s, &end, 10);
	return *s >= '0' && *s <= '9' && *end == '\0' && errno == 0;
}

int
main(int argc, char **argv)
{
	unsigned long long nurls, distinct, seed = 1;
	bool colliding = argc > 1 && std::strcmp(argv[1], "-c") == 0;

	if (colliding)
		argc--, argv++;
	if (argc < 4 || argc > 5 || !number(argv[1], &nurls) ||
	    !number(argv[2], &distinct) || (argc == 5 && !number(argv[4], &seed)) ||
	    nurls > INT32_MAX || distinct > nurls || (distinct == 0 && nurls > 0)) {
		std::fputs("usage: sfvgen [-c] nurls ndistinct outfile [seed]\n"
		    "  with 0 < ndistinct <= nurls < 2^31\n", stdout);
		return 1;
	}
	generator g;
	g.rng = seed;
	std::vector<uint32_t> ids = urlplan(nurls, distinct, &g.rng);
	g.urlids = &ids;
	g.nextitem = 0;
	g.urltext = colliding ? collidingurl : plainurl;
	if ((g.fp = std::fopen(argv[3], "wb")) == nullptr) {
		std::printf("sfvgen: can't open %s\n", argv[3]);
		return 1;
	}
	std::fwrite("SFV-FORMAT\x1a\x65\x00", 1, 13, g.fp);
	puttree(&g, "LINKS", nurls / 2);
	puttree(&g, "Favorite", nurls - nurls / 2);
	if (std::ferror(g.fp) || std::fclose(g.fp) != 0) {
		std::printf("sfvgen: can't write %s\n", argv[3]);
		return 1;
	}
	return 0;
}
