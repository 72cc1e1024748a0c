/*
 * sfvgen: writes a large favourites file for timing Vantrel.
 *
 *	sfvgen nurls ndistinct outfile [seed]
 *
 * The file holds nurls URL items, half in LINKS and half in Favorite,
 * in folders of up to a hundred items, each folder holding a sub-folder
 * with two fifths of them. Exactly ndistinct URLs occur (every one at
 * least once, the rest of the items repeating them at random places);
 * titles and URLs are 20 to 80 bytes long. The same arguments always
 * give the same file.
 */
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static const size_t GROUPSIZE = 100; /* URL items in a folder and its sub-folder */
static const size_t TEXTMIN = 20;
static const size_t TEXTMAX = 80;

/* The file being written and the pseudo-random state that fills it. */
struct generator {
	FILE *fp;
	uint64_t rng;
	const std::vector<uint32_t> *urlids; /* the URL of each item */
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
urltext(uint32_t id)
{
	uint64_t state = id;
	std::string s = "http://s" + std::to_string(id) + ".example/";

	pad(&s, TEXTMIN + randombelow(&state, TEXTMAX - TEXTMIN + 1), &state);
	return s;
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
	puttext(g, urltext(id));
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

	if (argc < 4 || argc > 5 || !number(argv[1], &nurls) ||
	    !number(argv[2], &distinct) || (argc == 5 && !number(argv[4], &seed)) ||
	    nurls > INT32_MAX || distinct > nurls || (distinct == 0 && nurls > 0)) {
		std::fputs("usage: sfvgen nurls ndistinct outfile [seed]\n"
		    "  with 0 < ndistinct <= nurls < 2^31\n", stdout);
		return 1;
	}
	generator g;
	g.rng = seed;
	std::vector<uint32_t> ids = urlplan(nurls, distinct, &g.rng);
	g.urlids = &ids;
	g.nextitem = 0;
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
