/*
 * Fuzz target: any bytes at all, handed to the tool as its source file
 * and run through its own main (header check, both trees read, counted,
 * cleaned, written and freed; then listed), followed, for bytes that
 * read whole, by the properties every cleaning must keep. Everything the
 * tool prints goes to /dev/null; a broken property aborts the run.
 */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include <unistd.h>

#include "vantrel.h"

int vantrelmain(int argc, char **argv); /* the tool's main, renamed by the build */

static std::string folder, srcpath, dstpath;

struct trees {
	sfvitem *links;
	sfvitem *favorite;
};

static void
require(bool holds, const char *what)
{
	if (holds)
		return;
	std::fprintf(stderr, "property broken: %s\n", what);
	std::abort();
}

static void
removefolder(void)
{
	unlink(srcpath.c_str());
	unlink(dstpath.c_str());
	rmdir(folder.c_str());
}

/* Makes a scratch folder in memory where there is one, and silences the tool. */
extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
	const char *tmp = std::getenv("TMPDIR");
	std::string base = tmp != nullptr ? tmp : access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
	std::string name = base + "/vantrelfuzz-XXXXXX";

	require(mkdtemp(&name[0]) != nullptr, "a scratch folder can be made");
	folder = name;
	srcpath = folder + "/in.sfv";
	dstpath = folder + "/out.sfv";
	std::atexit(removefolder);
	require(std::freopen("/dev/null", "w", stdout) != nullptr, "stdout goes to /dev/null");
	return 0;
}

/* Runs the tool's main on the words given, as a fresh process would. */
static int
runmain(std::vector<std::string> words)
{
	std::vector<char *> argv;

	for (std::string &w : words)
		argv.push_back(&w[0]);
	argv.push_back(nullptr);
	options = 0;
	int status = vantrelmain(static_cast<int>(words.size()), argv.data());
	stdout = std::fopen("/dev/null", "w"); /* the tool closes its own at the end */
	require(stdout != nullptr, "stdout goes to /dev/null");
	return status & 0xff;
}

static std::string
readfile(const std::string &path)
{
	std::string bytes;
	FILE *fp = std::fopen(path.c_str(), "rb");
	char buf[4096];

	if (fp == nullptr)
		return "";
	for (size_t n; (n = std::fread(buf, 1, sizeof(buf), fp)) > 0;)
		bytes.append(buf, n);
	std::fclose(fp);
	return bytes;
}

/* Reads header and both trees from fp as the tool does; false, with nothing held, unless all read. */
static bool
readall(FILE *fp, trees *t)
{
	static sfvreader r;

	*t = trees{nullptr, nullptr};
	initreader(&r, fp);
	if (readheader(&r) == HEADER_OK && (t->links = readitemfromsfv(&r, false)) != nullptr &&
	    (t->favorite = readitemfromsfv(&r, false)) != nullptr)
		return true;
	free_sfvitem(t->links);
	t->links = nullptr;
	return false;
}

static bool
readbytes(const std::string &bytes, trees *t)
{
	FILE *fp = fmemopen(const_cast<char *>(bytes.data()), bytes.size(), "rb");

	require(fp != nullptr, "written bytes can be opened");
	bool whole = readall(fp, t);
	std::fclose(fp);
	return whole;
}

/* The bytes of a file holding the two trees. */
static std::string
writeall(const trees *t)
{
	static sfvwriter w;
	char *buf = nullptr;
	size_t len = 0;
	FILE *fp = open_memstream(&buf, &len);

	require(fp != nullptr, "a memory file can be opened");
	initwriter(&w, fp);
	writeheader(&w);
	savetosfv(&w, t->links, false);
	savetosfv(&w, t->favorite, false);
	require(flushwriter(&w), "writing to memory succeeds");
	std::fclose(fp);
	std::string bytes(buf, len);
	std::free(buf);
	return bytes;
}

static void
freeall(trees *t)
{
	free_sfvitem(t->links);
	free_sfvitem(t->favorite);
}

static bool
sameitem(const sfvitem *a, const sfvitem *b)
{
	return std::strcmp(a->title, b->title) == 0 && std::strcmp(a->comment, b->comment) == 0 &&
	    std::strcmp(a->url, b->url) == 0 && a->kind == b->kind &&
	    a->setting_flag == b->setting_flag && a->opaque1 == b->opaque1 &&
	    a->opaque2 == b->opaque2 && a->opaque3 == b->opaque3 && a->opaque4 == b->opaque4 &&
	    std::memcmp(a->setting, b->setting, sizeof(a->setting)) == 0 &&
	    a->visited == b->visited && a->color == b->color &&
	    (a->child == nullptr) == (b->child == nullptr) && (a->next == nullptr) == (b->next == nullptr);
}

/* Tells whether two trees hold the same items in the same places. */
static bool
sametree(const sfvitem *a, const sfvitem *b)
{
	std::vector<const sfvitem *> pa, pb;

	for (; a != nullptr && b != nullptr; a = nextpreorder(a, &pa), b = nextpreorder(b, &pb))
		if (!sameitem(a, b) || pa.size() != pb.size())
			return false;
	return a == nullptr && b == nullptr;
}

/* The URLs of the URL items of list, in walk order. */
static std::vector<std::string>
urls(const sfvitem *list)
{
	std::vector<std::string> found;
	std::vector<const sfvitem *> pending;

	for (const sfvitem *it = list; it != nullptr; it = nextpreorder(it, &pending))
		if (it->kind == SFV_URL)
			found.push_back(it->url);
	return found;
}

/* The first occurrence of each URL, in order. */
static std::vector<std::string>
firstmet(const std::vector<std::string> &all)
{
	std::unordered_set<std::string> seen;
	std::vector<std::string> first;

	for (const std::string &u : all)
		if (seen.insert(u).second)
			first.push_back(u);
	return first;
}

/* Removes the duplicates of both trees, as the tool's kill stage does. */
static void
clean(trees *t)
{
	t->links->next = t->favorite;
	killduplicates(t->links);
	t->links->next = nullptr;
}

static itemcount
counted(trees *t)
{
	itemcount n;

	t->links->next = t->favorite;
	initcount(&n, t->links);
	t->links->next = nullptr;
	return n;
}

/* Writing and reading back keep the trees and the bytes. */
static void
checkroundtrip(const trees *t)
{
	std::string once = writeall(t);
	trees back;

	require(readbytes(once, &back), "written trees read back whole");
	require(sametree(t->links, back.links) && sametree(t->favorite, back.favorite),
	    "written trees read back the same");
	require(writeall(&back) == once, "writing again gives the same bytes");
	freeall(&back);
}

/* Cleaning keeps the first copy of each URL, counts add up, and a second cleaning does nothing. */
static void
checkcleaning(trees *t, const std::string &written)
{
	itemcount before = counted(t);
	t->links->next = t->favorite;
	std::vector<std::string> kept = firstmet(urls(t->links));
	t->links->next = nullptr;
	int32_t removed = before.urls - static_cast<int32_t>(kept.size());

	clean(t);
	itemcount after = counted(t);
	t->links->next = t->favorite;
	require(urls(t->links) == kept, "after cleaning each URL occurs once, its first copy kept");
	t->links->next = nullptr;
	require(after.items == before.items - removed && after.folders == before.folders &&
	    after.urls == before.urls - removed, "counts after are counts before less those removed");
	std::string cleaned = writeall(t);
	require(written == cleaned, "the tool wrote the cleaned trees");
	clean(t);
	require(writeall(t) == cleaned, "cleaning twice removes nothing the second time");
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	FILE *fp = std::fopen(srcpath.c_str(), "wb");

	require(fp != nullptr && std::fwrite(data, 1, size, fp) == size && std::fclose(fp) == 0,
	    "the source file can be written");
	unlink(dstpath.c_str());
	int status = runmain({"Vantrel", "-iv", "--", srcpath, dstpath});
	std::string written = readfile(dstpath);
	require(runmain({"Vantrel", "-il", "--", srcpath}) == status, "listing reads as cleaning does");

	trees t;
	fp = std::fopen(srcpath.c_str(), "rb");
	require(fp != nullptr, "the source file can be read");
	bool whole = readall(fp, &t);
	std::fclose(fp);
	require(status == (whole ? 0 : 1), "the tool refuses exactly the files that do not read whole");
	require(whole || access(dstpath.c_str(), F_OK) != 0, "a refused file writes nothing");
	if (!whole)
		return 0;
	checkroundtrip(&t);
	checkcleaning(&t, written);
	freeall(&t);
	return 0;
}
