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
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include "vantrel.h"

/* A destination being written, straight or through a temporary file. */
struct output {
	std::string path; /* the file to replace */
	std::string temp; /* where it is written first, or empty */
	sfvwriter w;
};

static void
showversion(void)
{
	std::fputs("Vantrel Ver.1.00 by Oskuvi\n", stdout);
	std::printf("Built at %s %s\n", __DATE__, __TIME__);
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

/* The file-name part of argv[0], for messages; "Vantrel" when there is none. */
static const char *
invocationname(int argc, char **argv)
{
	if (argc < 1 || argv[0] == nullptr)
		return "Vantrel";
	const char *name = argv[0];
	for (const char *p = argv[0]; *p != '\0'; p++)
		if (*p == '/' || *p == '\\')
			name = p + 1;
	return *name != '\0' ? name : "Vantrel";
}

/* Takes the letters of an option group such as "-iv" or "/l". */
static void
takeoptions(const char *group)
{
	for (const char *p = group + 1; *p != '\0'; p++) {
		switch (*p) {
		case 'v': options |= FLAG_VERBOSE; break;
		case 'n': options |= FLAG_NOKILL; break;
		case 'i': options |= FLAG_ITEMS; break;
		case 'l': options |= FLAG_LISTUP | FLAG_NOKILL; break;
		case 'V': options |= FLAG_VERSION; break;
		default: std::printf("Unknown argument: %c\n", *p); break;
		}
	}
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

	for (int i = 1; i < argc; i++) {
		const char *arg = argv[i];
		if (optionsopen && (arg[0] == '-' || arg[0] == '/')) {
			if (arg[1] == '-' && arg[2] == '\0')
				optionsopen = false;
			else
				takeoptions(arg);
			continue;
		}
		if (nfiles == 2) {
			std::fputs("Too many file arguments!", stdout);
			return false;
		}
		names[nfiles++] = arg;
	}
	return true;
}

/* Ends a run whose source failed its checks: closes the source and returns 1. */
static int
closesource(FILE *fp)
{
	std::fputs("File close...", stdout);
	std::fclose(fp);
	std::fputs("OK\n", stdout);
	return 1;
}

/* Reads one tree root and its descendants under a progress message. */
static sfvitem *
readtree(sfvreader *r, const char *name)
{
	std::printf("Reading %s...", name);
	sfvitem *root = readitemfromsfv(r, false);
	if (root != nullptr)
		std::fputs("Done\n", stdout);
	return root;
}

/*
 * Checks the header and reads both trees. Returns false, having
 * reported why and freed what was read, when the source is not a
 * whole favourites file.
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
	if ((*links = readtree(r, "LINKS")) != nullptr &&
	    (*favorite = readtree(r, "Favorite")) != nullptr)
		return true;
	free_sfvitem(*links);
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

/* Runs the counting, listing and kill stages the options ask for. */
static void
runstages(sfvitem *links)
{
	itemcount before = itemcount(), after = itemcount();

	if ((options & FLAG_ITEMS) && !(options & FLAG_NOKILL))
		countstage(&before, links);
	if (options & FLAG_LISTUP)
		listitems(links, 0);
	if (!(options & FLAG_NOKILL)) {
		std::fputs("Killing duplicating items...\n", stdout);
		killduplicates(links);
		std::fputs("Done\n", stdout);
	}
	if (options & FLAG_ITEMS) {
		countstage(&after, links);
		report(&before, &after);
	}
}

/*
 * Platform part: where the destination's bytes go. A regular file, or
 * one yet to be made, is written to a temporary file beside it and
 * put in its place only once complete and on disk, so that a failed
 * export leaves the former file as it was. The six calls below are
 * all that differs between the systems; file names are passed through
 * as the bytes the program was given.
 */

#ifdef _WIN32
/*
 * A file's one permission on Windows is its read-only attribute, and a
 * read-only destination is refused before anything is written, so the
 * temporary file has nothing to take over from the file it replaces.
 */
static bool
keepmode(int, const struct stat *)
{
	return true;
}

static bool
syncfile(int fd)
{
	return _commit(fd) == 0;
}

/*
 * Makes and opens a temporary file named after tmpl, which ends in
 * "XXXXXX". Its whole name must stay under MAX_PATH bytes: the system
 * could neither rename nor remove a longer one by its byte-string calls.
 */
static int
maketemp(std::string *tmpl)
{
	char full[MAX_PATH];
	DWORD n = GetFullPathNameA(tmpl->c_str(), sizeof(full), full, nullptr);

	if (n == 0 || n >= sizeof(full))
		return -1;
	return mkstemp(&(*tmpl)[0]);
}

/* A rename never replaces a file on Windows; this call does, on disk before it returns. */
static bool
replacefile(const std::string &temp, const std::string &path)
{
	return MoveFileExA(temp.c_str(), path.c_str(),
	    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

/*
 * Like stat(), which does not see devices such as NUL or CON: one of
 * those is a character device, written straight and never replaced.
 */
static int
statfile(const std::string &path, struct stat *st)
{
	if (stat(path.c_str(), st) == 0)
		return 0;
	HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE |
	    FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
	if (h == INVALID_HANDLE_VALUE)
		return -1;
	DWORD type = GetFileType(h);
	CloseHandle(h);
	if (type != FILE_TYPE_CHAR)
		return -1;
	*st = {};
	st->st_mode = S_IFCHR;
	return 0;
}

/*
 * The file a destination name stands for: a symbolic link's target.
 * The system gives it as "\\?\C:\...", which the C library's calls
 * do not take; the plain drive form names the same file.
 */
static std::string
resolvelink(const std::string &name)
{
	DWORD attrs = GetFileAttributesA(name.c_str());

	if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_REPARSE_POINT))
		return name;
	HANDLE h = CreateFileA(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE |
	    FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
	if (h == INVALID_HANDLE_VALUE)
		return name;
	char buf[MAX_PATH + 4];
	DWORD n = GetFinalPathNameByHandleA(h, buf, sizeof(buf), FILE_NAME_NORMALIZED);
	CloseHandle(h);
	if (n < 7 || n >= sizeof(buf) || std::strncmp(buf, "\\\\?\\", 4) != 0 || buf[5] != ':')
		return name;
	return std::string(buf + 4, n - 4);
}
#else
/* The permission bits a newly created file would get. */
static mode_t
newfilemode(void)
{
	mode_t mask = umask(0);

	umask(mask);
	return 0666 & ~mask;
}

/*
 * Gives the open file fd the permission bits and owner of old, the
 * file it will replace, or the bits of a new file when there is none.
 * Only a privileged run can keep another user as the owner.
 */
static bool
keepmode(int fd, const struct stat *old)
{
	return fchmod(fd, old != nullptr ? old->st_mode & 07777 : newfilemode()) == 0 &&
	    (old == nullptr || fchown(fd, old->st_uid, old->st_gid) == 0 || errno == EPERM);
}

static int
maketemp(std::string *tmpl)
{
	return mkstemp(&(*tmpl)[0]);
}

static bool
syncfile(int fd)
{
	return fsync(fd) == 0;
}

static bool
replacefile(const std::string &temp, const std::string &path)
{
	return rename(temp.c_str(), path.c_str()) == 0;
}

/*
 * Like stat(), but a symbolic link to nothing is seen as the link
 * itself: not a regular file, so it is written through and stays.
 */
static int
statfile(const std::string &path, struct stat *st)
{
	return stat(path.c_str(), st) == 0 ? 0 : lstat(path.c_str(), st);
}

/* The file a destination name stands for: a symbolic link's target. */
static std::string
resolvelink(const std::string &name)
{
	struct stat st;

	if (lstat(name.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
		return name;
	char *real = realpath(name.c_str(), nullptr);
	if (real == nullptr)
		return name;
	std::string path = real;
	std::free(real);
	return path;
}
#endif

/* Opens out->path itself for writing, created or emptied. */
static bool
opendirect(output *out)
{
	FILE *fp = std::fopen(out->path.c_str(), "wb");

	if (fp == nullptr)
		return false;
	std::setvbuf(fp, nullptr, _IONBF, 0);
	initwriter(&out->w, fp);
	return true;
}

/*
 * Makes a temporary file beside out->path that will take the place of
 * old, the file there now, or of no file when old is none. Its name is
 * in out->temp before the file exists, so that nothing can fail between
 * making the file and knowing where it is.
 */
static bool
opentemp(output *out, const struct stat *old)
{
	out->temp = out->path + ".XXXXXX";
	int fd = maketemp(&out->temp);
	FILE *fp = fd >= 0 && keepmode(fd, old) ? fdopen(fd, "wb") : nullptr;

	if (fp == nullptr) {
		if (fd >= 0) {
			close(fd);
			unlink(out->temp.c_str());
		}
		out->temp.clear();
		return false;
	}
	std::setvbuf(fp, nullptr, _IONBF, 0);
	initwriter(&out->w, fp);
	return true;
}

/* Opens the destination for an export; false when it cannot be written. */
static bool
openoutput(output *out, const std::string &name)
{
	struct stat st;

	out->path = resolvelink(name);
	if (statfile(out->path, &st) != 0)
		return opentemp(out, nullptr) || opendirect(out);
	if (!S_ISREG(st.st_mode))
		return opendirect(out);
	if (access(out->path.c_str(), W_OK) != 0)
		return false;
	return opentemp(out, &st) || opendirect(out);
}

/* Gives up an export: closes it and removes the temporary file. */
static void
discardoutput(output *out)
{
	std::fclose(out->w.fp);
	if (!out->temp.empty())
		unlink(out->temp.c_str());
}

/* Completes an export: flushes, closes and puts the file in place. */
static bool
closeoutput(output *out)
{
	if (!flushwriter(&out->w) || std::fflush(out->w.fp) != 0 ||
	    (!out->temp.empty() && !syncfile(fileno(out->w.fp)))) {
		discardoutput(out);
		return false;
	}
	if (std::fclose(out->w.fp) != 0 ||
	    (!out->temp.empty() && !replacefile(out->temp, out->path))) {
		if (!out->temp.empty())
			unlink(out->temp.c_str());
		return false;
	}
	return true;
}

/* Reports whether a step of the export failed; on failure the export is given up. */
static bool
stepdone(output *out)
{
	if (out->w.failed) {
		std::fputs("ERROR: Can't write output file!\n", stdout);
		discardoutput(out);
		return false;
	}
	std::fputs("Done\n", stdout);
	return true;
}

/* Writes both trees to the destination behind a fresh header. */
static bool
exporttrees(const std::string &name, const sfvitem *links, const sfvitem *favorite)
{
	output out;

	std::fputs("Exporting!\n", stdout);
	if (!openoutput(&out, name)) {
		std::fputs("ERROR: Can't open output file!\n", stdout);
		return false;
	}
	std::fputs("Writing SFV Header...", stdout);
	writeheader(&out.w);
	if (!stepdone(&out))
		return false;
	std::fputs("Exporting LINKS...", stdout);
	savetosfv(&out.w, links, false);
	if (!stepdone(&out))
		return false;
	std::fputs("Exporting Favorite...", stdout);
	savetosfv(&out.w, favorite, false);
	if (!stepdone(&out))
		return false;
	if (!closeoutput(&out)) {
		std::fputs("ERROR: Can't write output file!\n", stdout);
		return false;
	}
	std::fputs("Export was completed!\n", stdout);
	return true;
}

static void
freetree(const char *name, sfvitem *root)
{
	std::printf("Freeing %s...", name);
	free_sfvitem(root);
	std::fputs("Done\n", stdout);
}

/* One run over a source file; returns the exit status. */
static int
run(const char *self, const std::string &src, const std::string &dst)
{
	sfvreader in;
	sfvitem *links = nullptr, *favorite = nullptr;
	FILE *fp = std::fopen(src.c_str(), "rb");

	if (fp == nullptr) {
		std::printf("%s: Can't open input file\n", self);
		return -1;
	}
	initreader(&in, fp);
	if (!readtrees(&in, &links, &favorite))
		return closesource(fp);
	std::fputs("Linking tree LINKS->Favorite...", stdout);
	links->next = favorite;
	std::fputs("Done\n", stdout);
	std::fclose(fp);
	try {
		runstages(links);
		std::fputs("Unlinking tree LINKS->Favorite...", stdout);
		links->next = nullptr;
		std::fputs("Done\n", stdout);
		if (!(options & FLAG_NOKILL) && !exporttrees(dst, links, favorite)) {
			free_sfvitem(links);
			free_sfvitem(favorite);
			return -1;
		}
	} catch (const std::bad_alloc &) {
		links->next = nullptr;
		free_sfvitem(links);
		free_sfvitem(favorite);
		throw;
	}
	freetree("LINKS", links);
	freetree("Favorite", favorite);
	return 0;
}

int
main(int argc, char **argv)
{
	const char *self = invocationname(argc, argv);
	std::string names[2];

	if (!parseargs(argc, argv, names))
		return 1;
	if (options & FLAG_VERSION) {
		showversion();
		return 0;
	}
	if (names[0].empty() || (!(options & FLAG_NOKILL) && names[1].empty())) {
		usage(self);
		return 0;
	}
	try {
		return run(self, names[0], names[1]);
	} catch (const std::bad_alloc &) {
		std::fputs("ERROR: Out of memory!\n", stdout);
		return -1;
	}
}
