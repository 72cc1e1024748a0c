// SPDX-License-Identifier: MIT
// Copyright (c) 2026 the Vantrel developers
/*
 * Vantrel: removes duplicate bookmarks from a favourites file.
 *
 *	Vantrel [options] srcfile [dstfile]
 *
 * The driver parses the command line, then runs the fixed sequence:
 * check the header, read both trees, link them, run the stages the
 * options ask for, unlink, export and free, announcing each step on
 * standard output.
 */
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "platform.h"
#include "vantrel.h"

/*
 * The status of a failed run: 255 on every system. Unix shows a -1 as
 * 255, but Windows shows -1, which "if errorlevel 1" takes for success.
 */
#define STATUS_FAILED 255

enum {
	FLAG_VERBOSE = 1,
	FLAG_NOKILL = 2,
	FLAG_ITEMS = 4,
	FLAG_LISTUP = 8,
	FLAG_VERSION = 16,
	FLAG_HELP = 32
};

static uint32_t options; /* set by parseargs() alone, before any file is touched */

/* The source file, closed when its owner lets go of it. */
using sourcefile = std::unique_ptr<FILE, int (*)(FILE *)>;

/*
 * What a run holds from reading to freeing: the two roots and the seen
 * set of the kill stage.
 */
struct held {
	sfvitem *links;
	sfvitem *favorite;
	seenset *seen;
};

/*
 * Prints the banner. The build gives the version and the date and time
 * it was made (VANTREL_VERSION, VANTREL_DATE and VANTREL_TIME), so that
 * the same source and SOURCE_DATE_EPOCH make the same program.
 */
static void
showversion(void)
{
	std::fputs("Vantrel Ver." VANTREL_VERSION " by Oskuvi\n", stdout);
	std::printf("Built at %s %s\n", VANTREL_DATE, VANTREL_TIME);
	std::fputs("\n", stdout);
}

static void
usage(const char *self)
{
	std::printf("Usage: %s [options] srcfile [dstfile]\n", self);
	std::fputs("Options\n"
	    " -i: Print items - before,after\n"
	    " -n: Don't kill - useful for counting items(with -i),don't output.\n"
	    " -l: Listup - for DEBUG and ...(Automatically switch on -n)\n"
	    " -v: Verbose - show killed items\n"
	    " -V: Show version.", stdout);
}

/*
 * The file-name part of argv[0], for messages; "Vantrel" when there is
 * none. On Windows startrun() has cut it already, in wide characters,
 * as in a double-byte code page a backslash byte may end a character.
 */
static const char *
invocationname(int argc, char **argv)
{
	if (argc < 1 || argv[0] == nullptr)
		return "Vantrel";
	const char *name = argv[0];
#ifndef _WIN32
	for (const char *p = argv[0]; *p != '\0'; p++)
		if (*p == '/' || *p == '\\')
			name = p + 1;
#endif
	return *name != '\0' ? name : "Vantrel";
}

/* Adds the letters of an option group such as "-iv" or "/l" to *flags. */
static void
takeoptions(const char *group, uint32_t *flags)
{
	for (const char *p = group + 1; *p != '\0'; p++) {
		switch (*p) {
		case 'v': *flags |= FLAG_VERBOSE; break;
		case 'n': *flags |= FLAG_NOKILL; break;
		case 'i': *flags |= FLAG_ITEMS; break;
		case 'l': *flags |= FLAG_LISTUP | FLAG_NOKILL; break;
		case 'V': *flags |= FLAG_VERSION; break;
		default: std::printf("Unknown argument: %c\n", *p); break;
		}
	}
}

/*
 * Tells whether an argument is a group of option letters. Windows
 * programs take "/" too; on Unix that begins every absolute path.
 */
static bool
isoptiongroup(const char *arg)
{
#ifdef _WIN32
	return arg[0] == '-' || arg[0] == '/';
#else
	return arg[0] == '-';
#endif
}

/* Takes one option argument, a group of letters or a word of its own, into *flags. */
static void
takeoption(const char *arg, bool *optionsopen, uint32_t *flags)
{
	if (std::strcmp(arg + 1, "-") == 0)
		*optionsopen = false;
	else if (std::strcmp(arg, "--help") == 0)
		*flags |= FLAG_HELP;
	else if (std::strcmp(arg, "--version") == 0)
		*flags |= FLAG_VERSION;
	else
		takeoptions(arg, flags);
}

/*
 * Sets the option word and the two file names from the arguments.
 * Returns false, having reported it, at a third file argument.
 */
static bool
parseargs(int argc, char **argv, std::string names[2])
{
	bool optionsopen = true;
	int nfiles = 0;
	uint32_t flags = 0;

	for (int i = 1; i < argc; i++) {
		const char *arg = argv[i];
		if (optionsopen && isoptiongroup(arg)) {
			takeoption(arg, &optionsopen, &flags);
			continue;
		}
		if (nfiles == 2) {
			std::fputs("Too many file arguments!", stdout);
			return false;
		}
		names[nfiles++] = arg;
	}
	options = flags;
	return true;
}

/* Ends a run that ran out of memory other than for an item or an entry: returns 255. */
static int
outofmemory(void)
{
	std::fputs("ERROR: Out of memory!\n", stdout);
	return STATUS_FAILED;
}

/* Ends a run whose source failed its checks: closes the source and returns 1. */
static int
closesource(sourcefile *fp)
{
	std::fputs("File close...", stdout);
	fp->reset();
	std::fputs("OK\n", stdout);
	return 1;
}

/*
 * Reads one tree root and its descendants under a progress message;
 * the last tree must end the file.
 */
static sfvitem *
readtree(sfvreader *r, const char *name, bool last)
{
	std::printf("Reading %s...", name);
	sfvitem *root = readitemfromsfv(r, false);
	if (root == nullptr)
		return nullptr;
	if (last && !readend(r)) {
		free_sfvitem(root);
		return nullptr;
	}
	std::fputs("Done\n", stdout);
	return root;
}

/*
 * Checks the header and reads both trees. Returns false, having
 * reported why, when the source is not a whole favourites file and
 * nothing more; the caller frees what was read.
 */
static bool
readtrees(sfvreader *r, sfvitem **links, sfvitem **favorite)
{
	switch (readheader(r)) {
	case HEADER_NOTSFV:
		std::fputs("ERROR: It isn't SFV file!\n", stdout);
		return false;
	case HEADER_VERSION:
		std::fputs("ERROR: only support SFV1.01...sorry.\n", stdout);
		return false;
	case HEADER_OK:
		break;
	}
	showversion();
	if ((*links = readtree(r, "LINKS", false)) != nullptr &&
	    (*favorite = readtree(r, "Favorite", true)) != nullptr)
		return true;
	std::fputs("ERROR: Can't read SFV file!\n", stdout);
	return false;
}

static void
countstage(itemcount *count, const sfvitem *list)
{
	std::fputs("Counting items...", stdout);
	initcount(count, list);
	std::fputs("Done\n", stdout);
}

static void
report(const itemcount *before, const itemcount *after)
{
	if (options & FLAG_NOKILL) {
		std::printf("%d items, %d folder, %d urls.\n",
		    after->items, after->folders, after->urls);
		return;
	}
	std::printf("\nBefore: %d items, %d folder, %d urls.\n",
	    before->items, before->folders, before->urls);
	std::printf("After: %d items, %d folder, %d urls.\n\n",
	    after->items, after->folders, after->urls);
}

/*
 * Runs the counting, listing and kill stages the options ask for, the
 * kill stage with a seen set of its own in *seen. Returns false when
 * memory runs out for the seen set.
 */
static bool
runstages(sfvitem *links, seenset **seen)
{
	itemcount before = itemcount(), after = itemcount();

	if ((options & FLAG_ITEMS) && !(options & FLAG_NOKILL))
		countstage(&before, links);
	if (options & FLAG_LISTUP)
		listitems(links, 0);
	if (!(options & FLAG_NOKILL)) {
		std::fputs("Killing duplicating items...\n", stdout);
		if ((*seen = new_seenset()) == nullptr || !killduplicates(links, *seen, options & FLAG_VERBOSE))
			return false;
		std::fputs("Done\n", stdout);
	}
	if (options & FLAG_ITEMS) {
		countstage(&after, links);
		report(&before, &after);
	}
	return true;
}

/* The writer's sink: the output it was given. */
static bool
tooutput(void *to, const void *buf, size_t n)
{
	return writeoutput(static_cast<output *>(to), buf, n);
}

/* Reports whether a step of the export failed. */
static bool
stepdone(const sfvwriter *w)
{
	if (w->failed) {
		std::fputs("ERROR: Can't write output file!\n", stdout);
		return false;
	}
	std::fputs("Done\n", stdout);
	return true;
}

/*
 * Writes both trees behind a fresh header, each step under its message.
 * The header only fills the start of the writer's buffer, so it can't
 * fail.
 */
static bool
writetrees(sfvwriter *w, const sfvitem *links, const sfvitem *favorite)
{
	std::fputs("Writing SFV Header...", stdout);
	writeheader(w);
	std::fputs("Done\n", stdout);
	std::fputs("Exporting LINKS...", stdout);
	savetosfv(w, links, false);
	if (!stepdone(w))
		return false;
	std::fputs("Exporting Favorite...", stdout);
	savetosfv(w, favorite, false);
	return stepdone(w);
}

/* Puts what was written in the destination's place, and says how that went. */
static bool
commit(sfvwriter *w, output *out)
{
	switch (flushwriter(w) ? commitoutput(out) : COMPLETE_FAILED) {
	case COMPLETE_FAILED:
		std::fputs("ERROR: Can't write output file!\n", stdout);
		return false;
	case COMPLETE_UNSYNCED:
		std::fputs("ERROR: Output file is in place, but can't be flushed to disk!\n", stdout);
		return false;
	case COMPLETE_OK:
		break;
	}
	std::fputs("Export was completed!\n", stdout);
	return true;
}

/*
 * Writes both trees to the destination. The output is closed only once
 * the last message is written out: a signal that comes once the new
 * file is in place waits till then. Memory that runs out meanwhile
 * gives the output up.
 */
static bool
exporttrees(const std::string &name, const sfvitem *links, const sfvitem *favorite)
{
	sfvwriter w;

	std::fputs("Exporting!\n", stdout);
	std::unique_ptr<output, void (*)(output *)> out(new_output(name), closeoutput);
	if (out == nullptr) {
		std::fputs("ERROR: Can't open output file!\n", stdout);
		return false;
	}
	initwriter(&w, tooutput, out.get());
	bool done = writetrees(&w, links, favorite) && commit(&w, out.get());
	std::fflush(stdout);
	return done;
}

/* Frees a root and its tree under a progress message; *root is then none. */
static void
freetree(const char *name, sfvitem **root)
{
	std::printf("Freeing %s...", name);
	free_sfvitem(*root);
	*root = nullptr;
	std::fputs("Done\n", stdout);
}

/*
 * Frees what a run still holds, on whichever path it ends. LINKS is
 * unlinked first, as it may be linked to Favorite still, so that each
 * tree is freed once.
 */
static void
freeheld(held *h)
{
	if (h->links != nullptr)
		h->links->next = nullptr;
	free_sfvitem(h->links);
	free_sfvitem(h->favorite);
	free_seenset(h->seen);
}

/*
 * Opens the source, checks its header, reads both trees and links them.
 * Returns 0, or the status of a run that ends here, having reported
 * why. The source is closed on return; the caller frees what was read.
 */
static int
loadtrees(const char *self, const std::string &src, sfvitem **links, sfvitem **favorite)
{
	sourcefile fp(openinput(src), std::fclose);
	sfvreader in;

	if (fp == nullptr) {
		std::printf("%s: Can't open input file\n", self);
		return STATUS_FAILED;
	}
	initreader(&in, fp.get());
	if (!readtrees(&in, links, favorite))
		return closesource(&fp);
	std::fputs("Linking tree LINKS->Favorite...", stdout);
	(*links)->next = *favorite;
	std::fputs("Done\n", stdout);
	return 0;
}

/*
 * One run over a source file; returns the exit status. Whatever it
 * holds is freed however it ends, running out of memory included.
 */
static int
run(const char *self, const std::string &src, const std::string &dst)
{
	held h = {};
	std::unique_ptr<held, void (*)(held *)> owner(&h, freeheld);
	sfvitem *&links = h.links, *&favorite = h.favorite;
	int status = loadtrees(self, src, &links, &favorite);

	if (status != 0)
		return status;
	if (!runstages(links, &h.seen))
		return outofmemory();
	std::fputs("Unlinking tree LINKS->Favorite...", stdout);
	links->next = nullptr;
	std::fputs("Done\n", stdout);
	if (!(options & FLAG_NOKILL) && !exporttrees(dst, links, favorite))
		return STATUS_FAILED;
	freetree("LINKS", &links);
	freetree("Favorite", &favorite);
	return 0;
}

/*
 * The run the command line asks for; returns the exit status. Memory
 * that runs out where the standard library allocates ends it here.
 */
static int
vantrel(int argc, char **argv)
{
	const char *self = invocationname(argc, argv);
	std::string names[2];

	try {
		if (!parseargs(argc, argv, names))
			return 1;
		if (options & FLAG_VERSION) {
			showversion();
			return 0;
		}
		if ((options & FLAG_HELP) || names[0].empty() || (!(options & FLAG_NOKILL) && names[1].empty())) {
			usage(self);
			return 0;
		}
		return run(self, names[0], names[1]);
	} catch (const std::bad_alloc &) {
		return outofmemory();
	}
}

/*
 * Ends the run: a run that could not print all it was asked to has
 * failed, unless it failed already. Nothing is printed about it, as
 * standard output is where it would go.
 */
static int
closestdout(int status)
{
	bool failed = std::ferror(stdout) != 0;

	if (std::fclose(stdout) != 0 || failed)
		return status != 0 ? status : STATUS_FAILED;
	return status;
}

int
main(int argc, char **argv)
{
	if (!startrun(&argc, &argv))
		return STATUS_FAILED;
	return closestdout(vantrel(argc, argv));
}
