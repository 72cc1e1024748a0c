// SPDX-License-Identifier: MIT
// Copyright (c) 2026 the Vantrel developers
/*
 * Vantrel run end to end, as a user runs it: its exact standard output,
 * its exit status and the bytes of every file it leaves. Favourites
 * files are built here byte by byte, so that each case states its bytes
 * in a line or two.
 */
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using strings = std::vector<std::string>;

std::string
le32(int32_t v)
{
	return {char(v), char(uint32_t(v) >> 8), char(uint32_t(v) >> 16), char(uint32_t(v) >> 24)};
}

/* The fields every record holds, with values that show if they are lost. */
struct record {
	std::string title = "", comment = "";
	int32_t flag = 1;
	std::vector<int32_t> setting = std::vector<int32_t>(9);
	std::vector<int32_t> opaque = {101, -202, INT32_MAX, -404};
};

std::string
url(const record &r, const std::string &u, int32_t visited = 7)
{
	auto text = [](const std::string &t) { return le32(int32_t(t.size())) + t; };
	std::string s = "\x01";
	s += text(r.title) + text(r.comment);
	for (int32_t v : {r.opaque[0], r.opaque[1], r.opaque[2], r.flag})
		s += le32(v);
	for (int32_t v : r.setting)
		s += le32(v);
	return s + le32(r.opaque[3]) + text(u) + le32(visited);
}

/* A folder record up to its child count, which need not match what follows. */
std::string
folderhead(const record &r, int32_t color, int32_t count)
{
	std::string s = url(r, "");
	s[0] = '\x02';
	return s.erase(s.size() - 8) + le32(color) + le32(count);
}

std::string
folder(const std::string &title, const strings &children = {}, int32_t color = 0)
{
	std::string s = folderhead(record{title}, color, int32_t(children.size()));
	for (const std::string &c : children)
		s += c;
	return s;
}

/* A root: a folder record without its type byte. */
std::string
root(const std::string &title, const strings &children = {})
{
	return folder(title, children).substr(1);
}

const std::string header("SFV-FORMAT\x1a\x65\x00", 13);

std::string
sfv(const std::string &links, const std::string &favorite = root("F"))
{
	return header + links + favorite;
}

/* LINKS holding a chain of folders depth deep, the deepest holding urls. */
std::string
deepfile(int depth, const strings &urls)
{
	std::string s = header + root("L").substr(0, root("L").size() - 4) + le32(1);
	for (int i = 1; i < depth; i++)
		s += folderhead(record{"d"}, 0, 1);
	return s + folder("d", urls) + root("F");
}

/* A fresh folder for one case, open to every user; gone at the end of the case. */
struct scratch {
	std::string dir;
	scratch() : dir(mkdtemp(&std::string("/tmp/vantrel-test-XXXXXX")[0])) { chmod(dir.c_str(), 0777); }
	~scratch() { std::error_code e; fs::remove_all(dir, e); }
	std::string operator/(const std::string &name) const { return dir + "/" + name; }
};

/* How a run of the tool is started, beyond its arguments. */
struct how {
	std::string cwd = "";          /* the folder it runs in */
	strings env = {};              /* NAME=value, for this run alone */
	int closed = 0;                /* standard descriptors closed, as bits 1 << fd */
	std::string out = "";          /* a file for standard output, which is then not read */
	uid_t uid = 0;                 /* a user to run as, in group 3000 too */
	std::function<void(pid_t)> during = nullptr; /* done while it runs */
	int blocked = 0;               /* a signal it is started with blocked */
	std::string argv0 = "Vantrel"; /* the name it is started by, where it runs alone */
};

struct toolrun {
	std::string out; /* standard output, with Unix line ends */
	int status;      /* exit status; 128+n when signal n ended it */
};

/* The words that start the tool: VANTREL_RUNNER's (an emulator, a checker), then the binary. */
strings
launcher()
{
	std::istringstream runner(getenv("VANTREL_RUNNER") ? getenv("VANTREL_RUNNER") : "");
	strings words{std::istream_iterator<std::string>(runner), {}};
	/* A test run with VANTREL_FAILSYS set (tests/CMakeLists.txt) runs the test build. */
	words.push_back(getenv("VANTREL_EXE") ? getenv("VANTREL_EXE") : getenv("VANTREL_FAILSYS") ? VANTREL_TESTBIN : VANTREL_BIN);
	return words;
}

/* The variable that has the test build fail the calls that faults names ("renameat 1 EIO"), and those the whole test's does. */
std::string
failing(const std::string &faults)
{
	return std::string("VANTREL_FAILSYS=") + (getenv("VANTREL_FAILSYS") ? getenv("VANTREL_FAILSYS") : "") +
	    (getenv("VANTREL_FAILSYS") ? "," : "") + faults;
}

const bool underrunner = launcher().size() > 1;
/* New files made with no name, but where the test build names them from the start or there is no /proc to name them through. */
const bool unnamed = !getenv("VANTREL_FAILSYS") && access("/proc/self/fd", X_OK) == 0;
/* A Windows build under wine: CR LF line ends, each read here as the LF a message or a text wrote, and no Unix permissions or links. */
const bool windowstool = launcher().back().find(".exe") != std::string::npos;
const std::regex crlf("\r\n");

/*
 * The child's part of a run: the tool named as asked in its argv[0],
 * unless it runs under another program, with a small stack, so that a
 * walk that recursed on the nesting depth of a file would crash.
 */
[[noreturn]] void
exectool(const strings &args, const how &h, int pipefd)
{
	for (const std::string &e : h.env)
		putenv(strdup(e.c_str()));
	strings words = launcher();
	const std::string path = words[0];
	const bool direct = words.size() == 1;
	words[0] = direct ? h.argv0 : path;
	words.insert(words.end(), args.begin(), args.end());
	std::vector<char *> argv;
	for (std::string &w : words)
		argv.push_back(&w[0]);
	argv.push_back(nullptr);
	struct rlimit stack = {512 * 1024, 512 * 1024}, nocore = {0, 0};
	gid_t groups[] = {gid_t(h.uid), 3000};
	sigset_t mask;
	sigemptyset(&mask);
	for (int sig = 1; sig < NSIG; sig++)
		signal(sig, SIG_DFL);
	sigaddset(&mask, h.blocked); /* none for 0 */
	sigprocmask(SIG_SETMASK, &mask, nullptr);
	setrlimit(RLIMIT_CORE, &nocore);
	umask(022);
	dup2(h.out.empty() ? pipefd : open(h.out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644), 1);
	for (int fd = 0; fd <= 2; fd++)
		if (h.closed & 1 << fd)
			close(fd);
	if ((direct && setrlimit(RLIMIT_STACK, &stack) != 0) || (!h.cwd.empty() && chdir(h.cwd.c_str()) != 0) ||
	    (h.uid != 0 && (setgroups(2, groups) != 0 || setgid(h.uid) != 0 || setuid(h.uid) != 0)))
		_exit(126);
	execvp(path.c_str(), argv.data());
	_exit(127);
}

toolrun
runtool(const strings &args, const how &h = {})
{
	static scratch shared; /* the tool copied where any user may run it */
	how run = h;
	std::string exe = launcher().back();
	for (const std::string &e : h.env)
		exe = e.rfind("VANTREL_EXE=", 0) == 0 ? e.substr(12) : exe;
	const std::string copy = shared / fs::path(exe).filename();
	if (h.uid != 0 && (fs::exists(copy) || fs::copy_file(exe, copy)))
		run.env.push_back("VANTREL_EXE=" + copy);
	int fds[2];
	if (pipe(fds) != 0)
		return {"pipe failed", -1};
	pid_t pid = fork();
	if (pid == 0)
		exectool(args, run, fds[1]);
	close(fds[1]);
	if (h.during)
		h.during(pid);
	toolrun r{"", -1};
	char buf[65536];
	for (ssize_t n; (n = read(fds[0], buf, sizeof(buf))) > 0;)
		r.out.append(buf, size_t(n));
	close(fds[0]);
	int ws;
	waitpid(pid, &ws, 0);
	r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
	r.out = windowstool ? std::regex_replace(r.out, crlf, "\n") : r.out;
	/* Wine ends a process it fails to start (its loader or server, under load) with 1, before the tool prints a byte. */
	static int restarts = 3;
	return windowstool && r.status == 1 && r.out.empty() && h.closed == 0 && h.out.empty() && restarts-- > 0 ? runtool(args, h) : r;
}

std::string
readfile(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	return std::string(std::istreambuf_iterator<char>(f), {});
}

/* Writes a file, and the folders it lies in; true, for setups that chain steps. */
bool
writefile(const std::string &path, const std::string &bytes)
{
	fs::create_directories(fs::path(path).parent_path());
	std::ofstream(path, std::ios::binary) << bytes;
	return true;
}

struct stat
statof(const std::string &path)
{
	struct stat st = {};
	stat(path.c_str(), &st);
	return st;
}

/* Names under dir, all the way down, that look like a new file left beside its destination. */
strings
strays(const std::string &dir)
{
	strings found;
	for (const auto &e : fs::recursive_directory_iterator(dir, fs::directory_options::skip_permission_denied))
		if (const std::string name = e.path().filename(); name.size() > 7 && name[name.size() - 7] == '.')
			found.push_back(e.path());
	return found;
}

const std::string toolname = underrunner ? fs::path(launcher().back()).filename().string() : "Vantrel";
const std::string banner = runtool({"-V"}).out;
const std::string usage = "Usage: " + toolname + " [options] srcfile [dstfile]\nOptions\n"
    " -i: Print items - before,after\n"
    " -n: Don't kill - useful for counting items(with -i),don't output.\n"
    " -l: Listup - for DEBUG and ...(Automatically switch on -n)\n"
    " -v: Verbose - show killed items\n -V: Show version.";
const std::string reading = "Reading LINKS...Done\nReading Favorite...Done\nLinking tree LINKS->Favorite...Done\n";
const std::string unlinking = "Unlinking tree LINKS->Favorite...Done\n";
const std::string freeing = "Freeing LINKS...Done\nFreeing Favorite...Done\n";
const std::string written = "Exporting!\nWriting SFV Header...Done\nExporting LINKS...Done\nExporting Favorite...Done\n";
const std::string exported = written + "Export was completed!\n";
const std::string cantopen = toolname + ": Can't open input file\n";
const std::string closing = "File close...OK\n";
const std::string sjis = "\x83\x6a\x83\x85\x81\x5b\x83\x58";
const std::string defaultcolor = "\x83\x66\x83\x74\x83\x48\x83\x8b\x83\x67";

/* What a cleaning run prints after the banner, dups being its Dup.Deleted lines. */
std::string
cleaned(int removed, bool urls = true, const std::string &dups = "")
{
	return reading + "Killing duplicating items...\n" + dups + "Deleted " + std::to_string(removed) + " items.\n" +
	    (urls ? "Freeing stack...Done\n" : "") + "Done\n" + unlinking + exported + freeing;
}

/* What a run prints when a tree can't be read whole. */
std::string
refused(bool infavorite, const std::string &error)
{
	return banner + "Reading LINKS..." + (infavorite ? "Done\nReading Favorite..." : "") +
	    "Error: readitemfromsfv: " + error + "\nERROR: Can't read SFV file!\n" + closing;
}

const std::string a = url({"a"}, "http://a/"), b = url({"b"}, "http://b/"), cu = url({"c"}, "http://c/");
const std::string plain = sfv(root("LINKS", {a, folder("f", {b}, 4)}), root("Favorite", {cu, folder("e")}));
const std::string twodups = sfv(root("LINKS", {a, folder("f", {url({"copy of a"}, "http://a/")})}),
    root("Favorite", {cu, url({"c %s again"}, "http://c/")}));
const std::string twodupsclean = sfv(root("LINKS", {a, folder("f")}), root("Favorite", {cu}));

struct e2ecase {
	const char *name;
	strings args;                   /* in.sfv and out.sfv are files of the folder it runs in */
	std::optional<std::string> in;  /* what in.sfv holds, if it exists */
	std::string printed;
	int status;
	std::optional<std::string> out; /* what out.sfv holds afterwards, if it exists */
};

/* Runs a case in a scratch folder and checks all it shows. */
void
check(const e2ecase &c)
{
	SCOPED_TRACE(c.name);
	scratch s;
	c.in && writefile(s / "in.sfv", *c.in);
	toolrun r = runtool(c.args, {s.dir});
	EXPECT_EQ(r.out, windowstool ? std::regex_replace(c.printed, crlf, "\n") : c.printed) << "texts printed as the bytes they hold";
	EXPECT_EQ(r.status, c.status);
	EXPECT_EQ(fs::exists(s / "out.sfv") ? readfile(s / "out.sfv") : "none", c.out.value_or("none"));
	EXPECT_EQ(fs::exists(s / "in.sfv") ? readfile(s / "in.sfv") : "none", c.in.value_or("none"));
	EXPECT_EQ(strays(s.dir), strings()) << "a file was left";
}

TEST(cli, parses_options_and_file_arguments_and_names_itself)
{
	const std::string counted = banner + reading + "Counting items...Done\n7 items, 4 folder, 3 urls.\n" + unlinking + freeing;
	const std::string list = "Title:L\nComment:\nSetting:--------,0\nColor:" + defaultcolor + "\n\nTitle:F\nComment:\nSetting:--------,0\nColor:" + defaultcolor + "\n";
	const e2ecase cases[] = {
		{"no arguments", {}, {}, usage, 0, {}},
		{"a source alone needs -n", {"in.sfv"}, plain, usage, 0, {}},
		{"-V stops before any file is looked at", {"-V", "missing", "out.sfv"}, {}, banner, 0, {}},
		{"three files end the run at once", {"in.sfv", "-V", "out.sfv", "3", "-x"}, plain, "Too many file arguments!", 1, {}},
		{"unknown letters", {"-vx", "-q"}, {}, "Unknown argument: x\nUnknown argument: q\n" + usage, 0, {}},
		{"--v reports the dash and keeps options open", {"--v", "-V"}, {}, "Unknown argument: -\n" + banner, 0, {}},
		{"/- is a source, or on Windows makes -n one", {"/-", "-n", "out.sfv"}, {}, cantopen, 255, {}},
		{"options after the files, -i and -n", {"in.sfv", "-i", "out.sfv", "-n"}, plain, counted, 0, {}},
		{"/iv: options on Windows, elsewhere a file", {"/iv", "-n", "in.sfv"}, plain, windowstool ? counted : cantopen,
		    windowstool ? 0 : 255, {}},
		{"-l implies -n and ignores the destination; -i counts once", {"-il", "in.sfv", "out.sfv"}, sfv(root("L")),
		    banner + reading + list + "Counting items...Done\n2 items, 2 folder, 0 urls.\n" + unlinking + freeing, 0, {}},
	};
	for (const e2ecase &c : cases)
		check(c);
	const std::pair<std::string, std::string> named[] = {{"C:\\Tools\\Other.exe", "Other.exe"}, {"/bin/Other", "Other"}, {"", "Vantrel"}};
	for (const auto &[argv0, name] : named) /* the program the tool runs under sets argv[0] */
		EXPECT_TRUE(underrunner || runtool({"missing", "out"}, {.argv0 = argv0}).out == name + ": Can't open input file\n") << argv0;
}

TEST(cli, refuses_sources_that_are_not_whole_favourites_files)
{
	const std::string notsfv = "ERROR: It isn't SFV file!\n" + closing;
	const std::string version = "ERROR: only support SFV1.01...sorry.\n" + closing;
	const std::string roothead = folderhead(record{"L"}, 0, 1).substr(1), u = url({"t"}, "u");
	const e2ecase cases[] = {
		{"wrong signature", {"in.sfv", "out.sfv"}, "SFV-FORMAT\x1b" + plain.substr(11), notsfv, 1, {}},
		{"version 101 big-endian", {"in.sfv", "out.sfv"}, header.substr(0, 11) + std::string("\0\x65", 2) + plain.substr(13), version, 1, {}},
		{"type 7 in Favorite, in place", {"in.sfv", "in.sfv"}, sfv(root("L"), roothead + "\x07" + u.substr(1)), refused(true, "illegal type"), 1, {}},
		{"a title of 1025 bytes", {"-l", "in.sfv"}, sfv(root(std::string(1025, 't'))), refused(false, "illegal length"), 1, {}},
		{"a title of length -1", {"in.sfv", "out.sfv"}, header + le32(-1) + std::string(64, 'x'), refused(false, "illegal length"), 1, {}},
		{"a count beyond the file", {"in.sfv", "out.sfv"}, header + folderhead(record{"L"}, 0, 1000000000).substr(1) + u,
		    refused(false, "unexpected end of file"), 1, {}},
		{"a byte after Favorite, as a count too small leaves", {"-il", "in.sfv"}, plain + "\x01", refused(true, "bytes after the Favorite tree"), 1, {}},
	};
	for (const e2ecase &c : cases)
		check(c);
	const std::string links = sfv(root("L", {folder("f", {a, b})}), ""), whole = links + root("F", {cu});
	for (size_t n = 0; n < whole.size(); n += underrunner ? 11 : 1)
		check({"cut short", {"in.sfv", "out.sfv"}, whole.substr(0, n), n < 11 ? notsfv : n < 13 ? version : refused(n >= links.size(), "unexpected end of file"), 1, {}});
}

/*
 * Files cleaned: the first copy of each URL stays, one in both trees in
 * LINKS, the first in Favorite where LINKS has none; titles, letter
 * case, a trailing slash and every byte count; an empty URL equals only
 * another; an emptied folder stays. All else is written back byte for
 * byte, but what a text holds after a zero byte, and a negative child
 * count, which is none.
 */
TEST(cli, removes_every_later_copy_and_keeps_all_else)
{
	const std::string kept = folder("x", {folder("y", {a})}), zero = std::string("u\0v", 3);
	const std::string odd = folder("o", {url({"http://a/"}, "x"), url({"2"}, "http://a"), url({"3"}, "HTTP://A/"), url({"4"}, "\x83\x6b"), url({"5"}, "\x83\x6a")});
	check({"the first copy stays", {"in.sfv", "out.sfv"}, sfv(root(std::string("L\0cd", 4), {kept, b, folder("f", {b, b}), url({"1"}, ""), url({"2"}, " "), url({"3"}, "")}),
	    root("F", {a, folder("g", {cu}), cu, folder("h", {cu}), odd, url({"t"}, zero), folderhead(record{"n"}, 0, -5)})), banner + cleaned(6), 0,
	    sfv(root("L", {kept, b, folder("f"), url({"1"}, ""), url({"2"}, " ")}), root("F", {folder("g", {cu}), folder("h"), odd, url({"t"}, "u"), folder("n")}))});
	check({"-v names each removal in turn, its line ends, %s and all, printed and written as they are", {"-v", "in.sfv", "out.sfv"},
	    sfv(root("L", {url({"a\n"}, "http://a/\r\n"), url({"\r\n\r\r\nb\n"}, "http://a/\r\n"), cu}), root("F", {url({"c %s"}, "http://c/")})),
	    banner + cleaned(2, true, "Dup.Deleted \r\n\r\r\nb\n (http://a/\r\n)\nDup.Deleted c %s (http://c/)\n"), 0, sfv(root("L", {url({"a\n"}, "http://a/\r\n"), cu}))});
}

/*
 * A random folder at most depth levels deep, and what cleaning leaves of
 * it, given the URLs seen before it: its URLs come from a pool of n, so
 * that most recur, and the first copy of each stays.
 */
std::pair<std::string, std::string>
randomfolder(std::mt19937 &random, int depth, unsigned n, std::set<std::string> *seen, int *removed)
{
	strings in, out;
	for (unsigned i = random() % 6; i > 0; i--) {
		if (depth > 0 && random() % 3 == 0) {
			const auto [child, cleaned] = randomfolder(random, depth - 1, n, seen, removed);
			in.push_back(child), out.push_back(cleaned);
			continue;
		}
		const std::string u = "http://" + std::to_string(random() % n) + "/", item = url({std::to_string(i)}, u);
		in.push_back(item);
		if (seen->insert(u).second)
			out.push_back(item);
		else
			++*removed;
	}
	return {folder("f", in), folder("f", out)};
}

/*
 * Random files cleaned as the rule says, LINKS before Favorite; then
 * each with one byte changed, which is refused, nothing written, or
 * cleaned into a file that cleans again with nothing removed.
 */
TEST(cli, cleans_random_files_and_refuses_or_cleans_them_damaged)
{
	std::mt19937 random(29);
	for (unsigned round = 1; round <= 60; round++) {
		std::set<std::string> seen;
		int removed = 0;
		const auto [links, linksclean] = randomfolder(random, 4, round, &seen, &removed);
		const auto [favorite, favoriteclean] = randomfolder(random, 4, round, &seen, &removed);
		const std::string in = header + links.substr(1) + favorite.substr(1), out = header + linksclean.substr(1) + favoriteclean.substr(1);
		check({"a random file", {"in.sfv", "out.sfv"}, in, banner + cleaned(removed, !seen.empty()), 0, out});
		scratch s;
		std::string damaged = in;
		damaged[random() % in.size()] ^= char(1 << random() % 8);
		writefile(s / "in.sfv", damaged);
		const int status = runtool({"in.sfv", "out.sfv"}, {s.dir}).status;
		EXPECT_TRUE(status == 1 ? !fs::exists(s / "out.sfv") : status == 0 && runtool({"out.sfv", "again.sfv"}, {s.dir}).out.find("\nDeleted 0 items.\n") !=
		    std::string::npos && readfile(s / "again.sfv") == readfile(s / "out.sfv")) << "damaged, status " << status;
	}
}

TEST(cli, lists_and_cleans_every_field_however_deep)
{
	const record fields{sjis, "comment \xff\x80", 0, {1, 2, 3, 4, 5, 6, 7, -8, -9}, {INT32_MIN, -1, 0, INT32_MAX}}, ja{"ja", "", 1, {1, 1, 0, 0, 0, 0, 0, 0, 5}};
	const std::string every = sfv(root(sjis, {folder("f", {}, 8), folder("g", {url({std::string(1024, '\x81')}, "")}, -3), url(ja, "v", 0)}),
	    root("F", {url(fields, "u\x80\xff", -1), folderhead(fields, 9, 0), folder("a", {folder("b", {folder("c", {b})})}, 2)}));
	const std::string listing = readfile(VANTREL_TESTS "/everyfield.listing"); /* in code page 932, as the titles are */
	check({"the listing", {"-l", "in.sfv"}, every, banner + reading + listing + unlinking + freeing, 0, {}});
	check({"every field of every kind of record written back", {"in.sfv", "out.sfv"}, every, banner + cleaned(0), 0, every});
	const std::string deep = url({"deep"}, "http://deep/");
	/* Folders nested deeper than any stack the tool runs on would hold. */
	check({"cleaned 200000 deep", {"-i", "in.sfv", "out.sfv"}, deepfile(200000, {deep, deep}), banner + reading +
	    "Counting items...Done\nKilling duplicating items...\nDeleted 1 items.\nFreeing stack...Done\nDone\n"
	    "Counting items...Done\n\nBefore: 200004 items, 200002 folder, 2 urls.\n"
	    "After: 200003 items, 200002 folder, 1 urls.\n\n" + unlinking + exported + freeing, 0, deepfile(200000, {deep})});
}

/*
 * The first n items of a file large enough that its export takes
 * several writes: 6000 URLs, then the same again, to be found after the
 * seen index has grown.
 */
std::string
bigfile(int n)
{
	strings urls;
	for (int i = 0; i < n; i++)
		urls.push_back(url({"a title of some length " + std::to_string(i)}, "http://example.com/" + std::to_string(i % 6000)));
	return sfv(root("L", urls));
}

/* An access list as the kernel stores it: the owner rw, user u rw, the group r-x, the mask rw (so the group may only read), others nothing. */
std::string
aclfor(uid_t u)
{
	std::string acl = le32(2);
	for (int32_t entry : {0x01 | 6 << 16, 0x02 | 6 << 16, 0x04 | 5 << 16, 0x10 | 6 << 16, 0x20})
		acl += le32(entry) + le32(entry == (0x02 | 6 << 16) ? int32_t(u) : -1);
	return acl;
}

/* What a file grants: "uid:gid mode", then " acl" where it has an access list (its bytes too where asked), and " origin=" its user.origin. */
std::string
grants(const std::string &path, bool whole = false)
{
	struct stat st = statof(path);
	char line[64], value[256];
	std::snprintf(line, sizeof(line), "%u:%u %o", st.st_uid, st.st_gid, st.st_mode & 07777);
	ssize_t n = getxattr(path.c_str(), "system.posix_acl_access", value, sizeof(value));
	std::string s = line + (n < 0 ? "" : " acl" + (whole ? std::string(value, size_t(n)) : ""));
	n = getxattr(path.c_str(), "user.origin", value, sizeof(value));
	return s + (n < 0 ? "" : " origin=" + std::string(value, size_t(n)));
}

/*
 * The run's own descriptors, by every name /dev and /proc give them,
 * are written through, never replaced: standard output appended to a
 * log, standard error and descriptor 3 to a log of their own. One that
 * was closed when the run started, holds a deleted file, or is open for
 * reading alone, is refused.
 */
void
descriptors(const scratch &s)
{
	const std::string log = s / "run.log", fd3 = s / "fd3.log", logged = banner + cleaned(2),
	    refused = logged.substr(0, logged.find("Exporting!")) + "Exporting!\nERROR: Can't open output file!\n";
	writefile(s / "fd.sh", "exec 3>>fd3.log 4>>gone.log 5<fd.sh; rm gone.log\ncase $3 in pid) set -- \"$1\" \"$2\" /proc/$$/fd/1;; /dev/stderr) exec 2>&3;; esac\nexec \"$@\"\n");
	const struct {
		const char *dest;
		int closed, status;
		std::string log, fd3; /* what each log holds after its first line */
	} cases[] = {
		{"/dev/stdout", 0, 0, twodupsclean + logged, ""}, {"/dev/../dev/fd/./1", 0, 0, twodupsclean + logged, ""}, {"pid", 0, 0, twodupsclean + logged, ""},
		{"run.log", 0, 0, twodupsclean + logged, ""}, {"/dev/fd/3", 0, 0, logged, twodupsclean}, {"/dev/stderr", 0, 0, logged, twodupsclean},
		{"/dev/fd/./4", 0, 255, refused, ""}, {"/dev/fd/5", 0, 255, refused, ""}, {"/dev/fd/2", 1 << 2, 255, refused, ""}, {"/dev/stdin", 1 << 0, 255, refused, ""},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.dest);
		writefile(log, "earlier\n") && writefile(fd3, "earlier\n");
		EXPECT_EQ(runtool({"in.sfv", c.dest}, {.cwd = s.dir, .env = {"VANTREL_RUNNER=sh " + s / "fd.sh"}, .closed = c.closed, .out = log}).status, c.status);
		EXPECT_EQ(readfile(log), "earlier\n" + c.log);
		EXPECT_EQ(readfile(fd3), "earlier\n" + c.fd3);
	}
	EXPECT_EQ(runtool({"in.sfv", "/dev/stdout"}, {.cwd = s.dir}).out, twodupsclean + logged) << "a pipe is no file to replace";
}

/*
 * Every kind of destination that a user, a hostile one or a careless
 * administrator may give, each with the status, the end of the output,
 * and the bytes (and where it matters what it grants) of the one file
 * that matters, which is a new one wherever it changes; nothing may be left beside it. Under
 * wine, those a Windows user can give. As root, devices are the scratch
 * folder's own, so that a fault that took one for a file could not
 * replace the machine's. Then the run's own descriptors, in every
 * spelling.
 */
TEST(dest, writes_or_refuses_every_kind_of_destination)
{
	scratch s;
	const bool superuser = geteuid() == 0, unix = !windowstool, root = superuser && unix;
	bool appendonly = false;
	const std::string opened = "Exporting!\nERROR: Can't open output file!\n";
	const std::string dev = superuser ? s.dir + "/" : "/dev/";
	const std::string nonutf8(255, '\x80');
	std::string longest = s.dir; /* a path of 4,090 bytes, near the system's limit */
	while (longest.size() < 3800)
		longest.append("/").append(200, 'p');
	longest.append("/").append(4090 - longest.size(), 'n');
	auto at = [&s](const std::string &name) { return name[0] == '/' ? name : s / name; };
	auto put = [&](const std::string &name, const std::string &bytes) { return writefile(at(name), bytes); };
	auto own = [&](const std::string &name, uid_t uid, gid_t gid, mode_t mode) {
		return root && lchown(at(name).c_str(), uid, gid) == 0 && (mode == 0 || chmod(at(name).c_str(), mode) == 0);
	};
	/* A sticky folder any user may write, as /tmp, where user 1002 has planted a file, a FIFO and links. */
	const bool planted = root && put("tmp/x", "") && own("tmp", 0, 0, 01777) && put("tmp/planted", "") && own("tmp/planted", 1002, 1002, 0666) &&
	    mkfifo(at("tmp/fifo").c_str(), 0666) == 0 && own("tmp/fifo", 1002, 1002, 0) && put("priv/clean.sfv", "old") && put("victim", "old") &&
	    symlink("../priv", at("tmp/cache").c_str()) == 0 && own("tmp/cache", 1002, 1002, 0) && symlink("../victim", at("tmp/l").c_str()) == 0 &&
	    own("tmp/l", 1002, 1002, 0) && symlink("../mine", at("tmp/mine").c_str()) == 0;
	put("in.sfv", twodups) && put("junk.sfv", "junk");
	ASSERT_TRUE(!superuser || mknod(at("full").c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0);
	const struct {
		const char *name;
		std::function<bool()> setup = nullptr; /* false where it can't be set up here; none to set up */
		std::string file;                      /* a file, and what it must hold */
		std::string bytes = twodupsclean;
		strings args = {};                     /* "in.sfv" and the file unless told */
		how h = {};                            /* in the scratch folder unless told */
		int status = 0;
		std::string tail = exported + freeing; /* how the output ends */
		std::string grants = "";               /* what it must grant, as root */
		const char *needs = "root";            /* what a row that can't be set up lacks; none for another system's row */
	} cases[] = {
		{.name = "a file cleaned in place", .setup = [&] { return put("a/in.sfv", twodups); }, .file = "a/in.sfv", .args = {"a/in.sfv", "a/in.sfv"}},
		/* Absolute, and the folder's name holds n, l and v, which a path read as options would turn on; wine's
		 * server names every file by its whole Unix path, which can't be this long. */
		{.name = "an absolute path of 4,090 bytes", .setup = [&] { return unix && put(longest, twodups); }, .file = longest, .args = {longest, longest},
		    .needs = nullptr},
		{.name = "a name of 255 bytes none of which begins a UTF-8 character", .setup = [&] { return unix && put(nonutf8, "old"); }, .file = nonutf8,
		    .needs = nullptr},
		{.name = "a link to itself", .setup = [&] { return unix && symlink("self", at("self").c_str()) == 0; }, .file = "in.sfv", .bytes = twodups,
		    .args = {"in.sfv", "self"}, .status = 255, .tail = opened, .needs = nullptr},
		{.name = "a user's own set-id file", .setup = [&] { return put("o/6755", "old") && own("o/6755", 1002, 1002, 06755) && own("o", 0, 0, 0777); },
		    .file = "o/6755", .h = {.uid = 1002}, .grants = "1002:1002 6755"},
		{.name = "a source past 2 GiB, opened and read to the byte after Favorite", .setup = [&] { return put("3g", twodups) && truncate(at("3g").c_str(), 3LL << 30) == 0; },
		    .file = "out", .bytes = "none", .args = {"3g", "out"}, .status = 1,
		    .tail = "Error: readitemfromsfv: bytes after the Favorite tree\nERROR: Can't read SFV file!\nFile close...OK\n"},
		{.name = "a destination past 2 GiB, another user's", .setup = [&] { return put("big/3g", "") && truncate(at("big/3g").c_str(), 3LL << 30) == 0 &&
		    own("big/3g", 5, 7, 0600); }, .file = "big/3g", .grants = "5:7 600"},
		{.name = "a missing folder", .file = "missing/out.sfv", .bytes = "none", .status = 255, .tail = opened},
		{.name = "a read-only file", .setup = [&] { return put("ro.sfv", "keep") && chmod(at("ro.sfv").c_str(), 0444) == 0; }, .file = "ro.sfv",
		    .bytes = "keep", .h = {.uid = root ? 1002u : 0}, .status = 255, .tail = opened},
		{.name = "a full device, met while LINKS is written", .setup = [&] { return put("big.sfv", bigfile(9000)); }, .file = "big.sfv",
		    .bytes = bigfile(9000), .args = {"big.sfv", "--", dev + "full"}, .status = 255, .tail = "Exporting LINKS...ERROR: Can't write output file!\n"},
		{.name = "NUL", .setup = [&] { return windowstool; }, .file = "in.sfv", .bytes = twodups, .args = {"in.sfv", "NUL"}, .needs = nullptr},
		{.name = "a damaged file, and a full device", .file = "junk.sfv", .bytes = "junk", .args = {"-n", "junk.sfv"}, .h = {.out = dev + "full"},
		    .status = 1, .tail = ""},
		{.name = "a file another user planted in a sticky folder", .setup = [&] { return planted; }, .file = "tmp/planted", .bytes = "", .status = 255,
		    .tail = opened, .grants = "1002:1002 666"},
		{.name = "a FIFO planted there", .setup = [&] { return planted; }, .file = "tmp/fifo", .bytes = "none", .status = 255, .tail = opened},
		{.name = "a link to a folder planted there", .setup = [&] { return planted; }, .file = "priv/clean.sfv", .bytes = "old",
		    .args = {"in.sfv", "tmp/cache/clean.sfv"}, .status = 255, .tail = opened},
		{.name = "the user's own link there", .setup = [&] { return planted; }, .file = "mine", .args = {"in.sfv", "tmp/mine"}},
		{.name = "a link planted there", .setup = [&] { return planted; }, .file = "victim", .bytes = "old", .args = {"in.sfv", "tmp/l"}, .status = 255,
		    .tail = opened},
		/* None of these can be remade by the user, and so are never written over: each is refused, untouched. */
		{.name = "the user's file in a folder that takes no new file", .setup = [&] { return put("ro/d", "old") && own("ro/d", 1002, 1002, 0); },
		    .file = "ro/d", .bytes = "old", .h = {.uid = 1002}, .status = 255, .tail = opened, .grants = "1002:1002 644"},
		{.name = "another user's file that the user may write through its access list", .setup = [&] { return put("acl/t", "old") &&
		    own("acl/t", 2000, 3001, 0660) && setxattr(at("acl/t").c_str(), "system.posix_acl_access", aclfor(1002).data(), aclfor(1002).size(), 0) == 0; },
		    .file = "acl/t", .bytes = "old", .h = {.uid = 1002}, .status = 255, .tail = opened, .grants = "2000:3001 660 acl"},
		{.name = "a file in an append-only folder", .setup = [&] { return appendonly = root && put("ao/d", "old") &&
		    system(("chattr +a " + at("ao") + " 2>/dev/null").c_str()) == 0; }, .file = "ao/d", .bytes = "old", .status = 255, .tail = opened,
		    .needs = "root, on a filesystem that keeps a folder append-only"},
		{.name = "a new file there, linked in whole where it can be made unnamed", .setup = [&] { return appendonly; }, .file = "ao/new",
		    .bytes = unnamed ? twodupsclean : "none", .status = unnamed ? 0 : 255, .tail = unnamed ? exported + freeing : opened,
		    .needs = "root, on a filesystem that keeps a folder append-only"},
	};
	std::string skipped;
	for (const auto &k : cases) {
		SCOPED_TRACE(k.name);
		if (k.setup && !k.setup()) {
			skipped += k.needs == nullptr || windowstool ? "" : std::string("\n  ") + k.name + ": needs " + k.needs;
			continue;
		}
		how h = k.h;
		h.cwd = h.cwd.empty() ? s.dir : h.cwd;
		auto held = [&] { return fs::is_regular_file(at(k.file)) ? readfile(at(k.file)) : "none"; };
		const std::string former = statof(at(k.file)).st_size < (1 << 24) ? held() : "larger than any row's bytes";
		ino_t before = statof(at(k.file)).st_ino;
		toolrun r = runtool(k.args.empty() ? strings{"in.sfv", k.file} : k.args, h);
		EXPECT_EQ(r.status, k.status);
		EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), k.tail.size())), k.tail);
		EXPECT_EQ(held(), k.bytes);
		EXPECT_EQ(statof(at(k.file)).st_ino != before, k.bytes != former) << "a file that changes is a new one, never written over";
		EXPECT_EQ(k.grants.empty() || windowstool ? "" : grants(at(k.file)), k.grants);
		EXPECT_EQ(strays(s.dir), strings()) << "a new file was left";
	}
	EXPECT_TRUE(!appendonly || system(("chattr -a " + at("ao")).c_str()) == 0);
	if (unix && access("/proc/self/fd", X_OK) == 0)
		descriptors(s);
	else if (unix)
		skipped += "\n  the run's own descriptors by every name: needs /proc, which /dev/fd leads to";
	if (!skipped.empty())
		GTEST_SKIP() << "rows not set up here:" << skipped;
}

/*
 * A signal the caller blocked, as a supervisor may, does not stop a run, and SIGKILL,
 * which no handler sees, ending one at a write of its unnamed new file,
 * leaves nothing. The failure walks send every other signal.
 */
TEST(dest, leaves_the_former_file_or_the_new_one_whatever_befalls_the_run)
{
	if (underrunner)
		GTEST_SKIP() << "the signals and descriptors are the tool's own";
	scratch s;
	const std::string old = bigfile(9000), clean = bigfile(6000);
	for (int sig : {-SIGTERM, unnamed ? SIGKILL : -SIGTERM}) { /* no handler removes a named file */
		writefile(s / "in.sfv", old);
		how h{.cwd = s.dir, .env = {failing(""), "VANTREL_STOPAT=write 2"}, .during = [&](pid_t pid) {
			waitpid(pid, nullptr, WUNTRACED);
			kill(pid, std::abs(sig)), kill(pid, SIGCONT);
		}, .blocked = sig < 0 ? SIGTERM : 0};
		EXPECT_EQ(runtool({"in.sfv", "in.sfv"}, h).status, sig < 0 ? 0 : 128 + SIGKILL);
		EXPECT_EQ(readfile(s / "in.sfv"), sig < 0 ? clean : old);
		EXPECT_EQ(strays(s.dir), strings()) << "a file was left";
	}
}

/*
 * A destination for the failure walk: who runs the tool, the name it is
 * given and the file there ("new" where the run makes it), and how that
 * file is made afresh before each run; false where it can't be here.
 */
struct walkcase {
	const char *name;
	uid_t uid;
	std::string dest, file;
	std::function<bool(const scratch &)> setup;
};

/* Makes path afresh, "old" with the mode given, with the access list for user u, or none for 0; false where it can't. */
bool
fresh(const std::string &path, mode_t mode, uid_t u = 0)
{
	const std::string acl = aclfor(u);
	fs::remove(path); /* a new inode, whose attributes list in the order they are set */
	return writefile(path, "old") && chmod(path.c_str(), mode) == 0 &&
	    (u == 0 ? removexattr(path.c_str(), "system.posix_acl_access") == 0 || errno == ENODATA || errno == EOPNOTSUPP
		    : setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0);
}

const walkcase walks[] = {
	{"another user's set-id file through a link, with an access list and an attribute, in a folder with a default list", 0, "link", "t",
	    [](const scratch &s) {
		return (symlink("t", (s / "link").c_str()) == 0 || errno == EEXIST) && fresh(s / "t", 06760, 1000) &&
		    setxattr(s.dir.c_str(), "system.posix_acl_default", aclfor(1002).data(), aclfor(1002).size(), 0) == 0 &&
		    (geteuid() != 0 || chown((s / "t").c_str(), 5, 7) == 0) && chmod((s / "t").c_str(), 06760) == 0 &&
		    setxattr((s / "t").c_str(), "user.origin", "here", 4, 0) == 0; }},
	{"a new file behind a link to none", 0, "dangling", "new", [](const scratch &s) {
		fs::remove(s / "new");
		return symlink("new", (s / "dangling").c_str()) == 0 || errno == EEXIST; }},
	{"a file with no access list, in a folder with a default one", 0, "dacl/t", "dacl/t", [](const scratch &s) {
		return writefile(s / "dacl/t", "") && setxattr((s / "dacl").c_str(), "system.posix_acl_default", aclfor(1000).data(), aclfor(1000).size(), 0) == 0 &&
		    fresh(s / "dacl/t", 0660); }},
};

/*
 * Tells whether now, what a file grants after a run in which a refusal
 * kept an attribute from being copied, is what it may be: the same
 * owner, group and mode, each attribute kept or gone, but where the
 * access list went, the group's bits what the list gave the owning
 * group (read), or none where the former file's attributes could not
 * be read at all (unread).
 */
bool
narrowed(const std::string &now, const std::string &want, bool unread)
{
	const std::string w = want.substr(0, want.find(" origin=")), n = now.substr(0, now.find(" origin=")), owner = w.substr(0, w.find(' '));
	const mode_t mode = mode_t(std::stoul(w.substr(owner.size() + 1), nullptr, 8));
	char line[64];
	for (mode_t group : {w.find(" acl") != std::string::npos ? mode_t(040) : mode & 070, unread ? mode_t(0) : mode & 070}) {
		std::snprintf(line, sizeof(line), "%s %o", owner.c_str(), (mode & ~mode_t(070)) | group);
		if (n == line)
			return true;
	}
	return n == w;
}

/* What a run with one failed call must end in. */
enum outcome { FORMER, NEW, LEFTOUT, UNSYNCED };

/*
 * The failures a run rides over, each a call and the function that
 * makes it: a failure elsewhere, or with another errno, must end the run
 * with 255 and the former file as it was. A taken temporary name is tried
 * anew, a system or a filesystem without unnamed files has named ones,
 * a folder that can't be opened for reading is flushed through its
 * filesystem, an attribute refused is left out (LEFTOUT), and a failure
 * once the new file is in place leaves it there.
 */
outcome
predicted(const std::string &call, int err, bool placed)
{
	const std::set<int> refusals = {EPERM, EACCES, EOPNOTSUPP, ENODATA};
	const std::map<std::string, std::set<int>> rideover = {
		{"access unnamedfiles", {err}}, {"openat openfolder", {err}}, {"openat createunnamed", {EOPNOTSUPP}},
		{"openat createtemp", {EEXIST}}, {"linkat linkunnamed", {EEXIST}}, {"fremovexattr dropacl", {ENODATA, EOPNOTSUPP}},
		{"openat copyattrs", refusals}, {"flistxattr listattrs", refusals}, {"fgetxattr getattr", refusals}, {"fsetxattr setattr", refusals},
	};
	if (placed)
		return call == "close closefile" ? NEW : UNSYNCED;
	auto k = rideover.find(call);
	if (k == rideover.end() || k->second.count(err) == 0)
		return FORMER;
	return call.find("xattr") != std::string::npos || call == "openat copyattrs" ? LEFTOUT : NEW;
}

/*
 * The test build fails each named call of a whole run in turn, with each
 * errno: after every run the destination is the former file, granting
 * exactly what it did, the status 255, where the run can't ride over
 * that failure, or else the complete new one, granting what a whole
 * run's does, less an attribute a refusal left out, but never more than
 * before. Nothing is left beside it. The whole run puts the new file on
 * disk before it puts it in place, and the folder after.
 */
void
failurewalk(const walkcase &w)
{
	if (underrunner)
		GTEST_SKIP() << "the test build runs alone";
	scratch s;
	if (!w.setup(s))
		GTEST_SKIP() << w.name << " can't be made here, without root or a filesystem that keeps attributes";
	writefile(s / "in.sfv", twodups);
	const std::string file = s / w.file, log = s / "calls", unsynced = "ERROR: Output file is in place, but can't be flushed to disk!\n";
	const std::string former = fs::exists(file) ? readfile(file) : "none", was = grants(file, true);
	auto run = [&](const std::string &faults, const std::string &stop = "", std::function<void(pid_t)> during = nullptr) {
		w.setup(s) && fs::remove(log);
		return runtool({"in.sfv", w.dest}, {.cwd = s.dir, .env = {"VANTREL_EXE=" VANTREL_TESTBIN, failing(faults), "VANTREL_SYSLOG=" + log,
		    "VANTREL_STOPAT=" + stop, "ASAN_OPTIONS=handle_segv=0"}, .uid = w.uid, .during = during}); /* SIGSEGV the tool's, not the sanitizer's */
	};
	ASSERT_EQ(run("").status, 0);
	const std::string want = grants(file, true);
	EXPECT_TRUE(former == "none" || want == was) << "a whole run keeps what the file granted";
	std::istringstream lines(readfile(log));
	strings calls;
	for (std::string call; std::getline(lines, call);)
		calls.push_back(call);
	/* The new file flushed after its last write, put in place by the last link or rename, then the folder flushed. */
	const auto write = std::find(calls.rbegin(), calls.rend(), "write writeoutput").base();
	auto putting = [](const std::string &c) { return c == "linkat linkunnamed" || c == "renameat renametemp"; };
	const auto placed = std::find_if(calls.rbegin(), calls.rend(), putting).base();
	const size_t changes = size_t(std::find_if(calls.begin(), calls.end(), putting) - calls.begin()); /* signals wait from here */
	ASSERT_TRUE(write < placed && std::find(write, placed, "fsync fsyncfile") != placed) << "not flushed before it is put in place";
	ASSERT_NE(std::find(placed, calls.end(), "fsync fsyncfile"), calls.end()) << "the folder not flushed";
	const size_t placement = size_t(placed - calls.begin());
	for (int err : {ENOSPC, EIO, EACCES, EPERM, EOPNOTSUPP, EEXIST, ENODATA, E2BIG, EMFILE, ENAMETOOLONG}) {
		std::map<std::string, int> seen;
		for (size_t i = 0; i < calls.size(); i++) {
			const std::string name = calls[i].substr(0, calls[i].find(' '));
			const std::string faults = name + " " + std::to_string(++seen[name]) + " " + strerrorname_np(err);
			SCOPED_TRACE(faults + " in " + calls[i]);
			const outcome want_ = predicted(calls[i], err, i >= placement);
			const toolrun r = run(faults);
			const std::string has = grants(file, true);
			EXPECT_EQ(r.status, want_ == FORMER || want_ == UNSYNCED ? 255 : 0) << r.out;
			EXPECT_EQ(fs::exists(file) ? readfile(file) : "none", want_ == FORMER ? former : twodupsclean);
			EXPECT_EQ(want_ == UNSYNCED, r.out.find(unsynced) != std::string::npos);
			EXPECT_EQ(strays(s.dir), strings()) << "a new file was left";
			/* Where a filesystem says it keeps no attributes, there are none to copy, and no list to narrow by. */
			const bool none = (err == EOPNOTSUPP && name == "flistxattr") || name == "fremovexattr";
			EXPECT_TRUE(want_ == FORMER ? has == was : want_ != LEFTOUT ? has == want : none || narrowed(has, want, name != "fsetxattr")) << has;
		}
	}
	/* Each call in turn, with each signal in turn sent while the run is stopped just before it. */
	const int signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGXFSZ, SIGSEGV};
	std::map<std::string, int> seen;
	for (size_t i = 0; i < calls.size(); i++) {
		const std::string name = calls[i].substr(0, calls[i].find(' ')), stop = name + " " + std::to_string(++seen[name]);
		const int sig = signals[i % std::size(signals)];
		SCOPED_TRACE(stop + " in " + calls[i] + ", then " + strsignal(sig));
		const toolrun r = run("", stop, [&](pid_t pid) {
			waitpid(pid, nullptr, WUNTRACED);
			for (const std::string &f : name == "write" && former != "none" ? strays(s.dir) : strings())
				EXPECT_EQ(statof(f).st_mode & 077, 0u) << "others may open the new file while it is written";
			kill(pid, sig), kill(pid, SIGCONT);
		});
		EXPECT_EQ(r.status, 128 + sig);
		EXPECT_EQ(fs::exists(file) ? readfile(file) : "none", i >= changes ? twodupsclean : former);
		EXPECT_EQ(grants(file, true), i >= changes ? want : was);
		EXPECT_EQ(strays(s.dir), strings()) << "a new file was left";
	}
}

TEST(dest, every_failed_call_keeps_a_file_with_an_access_list_and_an_attribute) { failurewalk(walks[0]); }

TEST(dest, every_failed_call_keeps_a_new_file_behind_a_link) { failurewalk(walks[1]); }

TEST(dest, every_failed_call_keeps_a_file_in_a_folder_with_a_default_access_list) { failurewalk(walks[2]); }

/*
 * What only Windows shows, under wine. A failed run's status as a batch
 * file reads it. A name that holds a lone surrogate, which wine takes
 * only from the registry's environment as it names files in UTF-8,
 * reaches the system as it is, where wine can name no file by it, and
 * no other. A log named as the destination is appended to, and a file
 * cleaned in place while the output is appended to another on its
 * volume is replaced, not written through the log. Each call of a whole
 * run is failed in turn, with each error, for a hidden system file
 * (which wine keeps in user.DOSATTRIB, and whose access list it shows
 * as the Unix mode) named in another case, and for a new file on a
 * share (\\v\s\, which wine finds under its prefix's dosdevices/unc)
 * whose name lies beyond UTF-16's first plane: the run rides over the
 * few failures it is meant to (a taken temporary name, a sharing
 * violation, a system that can't replace a file), with the new file in
 * place under the file's own name and the former one's attributes; it
 * ends with 255 and the former file as it was at every other, and at a
 * sharing violation that outlasts every try, and nothing is left beside
 * it, nor by a run ended outright mid-write (the test build's stop, as
 * the system ends it).
 */
TEST(dest, on_windows_keeps_the_status_the_name_the_log_and_the_former_file_whatever_fails)
{
	if (!windowstool)
		GTEST_SKIP() << "for the Windows build under wine";
	scratch s;
	std::string exe = "Z:" + launcher().back();
	std::replace(exe.begin(), exe.end(), '/', '\\');
	const std::u16string reg = u"\xfeffWindows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\Environment]\r\n\"VANTRELNAME\"=\"b\xdc00.sfv\"\r\n";
	writefile(s / "in.sfv", twodups) && writefile(s / "log", "earlier\n") && writefile(s / "n.reg", std::string((const char *)reg.data(), 2 * reg.size())) &&
	    writefile(s / "t.bat", "@set v=\"" + exe + "\"\r\n@%v% -n missing\r\n@if errorlevel 255 if not errorlevel 256 echo 255\r\n@%v% in.sfv %VANTRELNAME% >NUL\r\n"
	    "@echo %ERRORLEVEL%\r\n@%v% in.sfv LOG >>log\r\n@%v% in.sfv in.sfv >>log\r\n@echo %ERRORLEVEL%\r\n") && runtool({"/s", "n.reg"}, {.cwd = s.dir, .env = {"VANTREL_EXE=regedit"}}).status;
	EXPECT_EQ(runtool({"/c", "t.bat"}, {.cwd = s.dir, .env = {"VANTREL_EXE=cmd"}}).out, cantopen + "255\n255\n0\n");
	std::string logged = std::regex_replace(readfile(s / "log"), crlf, "\n"); /* the new file's bytes among the messages, wherever the output's buffer was flushed */
	EXPECT_EQ(logged.erase(std::min(logged.find(twodupsclean), logged.size()), twodupsclean.size()), "earlier\n" + banner + cleaned(2) + banner + cleaned(2));
	const std::string test = "VANTREL_EXE=" + fs::path(launcher().back()).replace_filename("Vantrel-test.exe").string(), log = s / "calls";
	const std::set<std::string> rides = {"namebackup", "createnew ERROR_FILE_EXISTS", "movetemp ERROR_FILE_EXISTS", "replace ERROR_SHARING_VIOLATION", "replace ERROR_UNABLE_TO_MOVE_REPLACEMENT"};
	for (const std::string dest : {"D.SFV", "n\xf0\x9f\x93\x9a.sfv"}) {
		std::string file = s / (dest == "D.SFV" ? "d.sfv" : dest), former = dest == "D.SFV" ? "255 old 0x6 0 0" : "255 none  0 0", whole;
		auto run = [&](const std::string &faults, const std::string &stop = "") { /* the status, the file, hidden and system, what Everyone may do, the files beside it */
			char dos[8] = "";
			fs::remove(log), fs::remove(file), writefile(s / "d.sfv", "old") && chmod((s / "d.sfv").c_str(), 0600) == 0 && setxattr((s / "d.sfv").c_str(), "user.DOSATTRIB", "0x6", 3, 0) == 0;
			const int status = runtool({"in.sfv", dest}, {.cwd = s.dir, .env = {test, "VANTREL_FAILSYS=" + faults, "VANTREL_STOPAT=" + stop, "VANTREL_SYSLOG=" + log}}).status;
			return std::to_string(status) + " " + (fs::exists(file) ? readfile(file) : "none") + " " + (getxattr(file.c_str(), "user.DOSATTRIB", dos, 7), dos) + " " +
			    std::to_string(statof(file).st_mode & 07) + " " + std::to_string(strays(s.dir).size());
		};
		EXPECT_EQ(whole = run(""), "0 " + twodupsclean + (dest == "D.SFV" ? " 0x6 0 0" : "  4 0")) << "a whole run keeps the file's name and attributes, a new file made as any is";
		std::istringstream lines(readfile(log));
		std::map<std::string, int> seen;
		for (std::string call; std::getline(lines, call);) {
			const std::string name = call.substr(0, call.find(' ')), caller = call.substr(name.size() + 1), n = std::to_string(++seen[name]);
			for (const std::string err : {"ERROR_ACCESS_DENIED", "ERROR_SHARING_VIOLATION", "ERROR_FILE_EXISTS", "ERROR_UNABLE_TO_MOVE_REPLACEMENT"})
				EXPECT_EQ(run(name + " " + n + " " + err), rides.count(caller) + rides.count(caller + " " + err) > 0 ? whole : former) << name << " " << n << " " << err << " in " << caller;
		}
		EXPECT_EQ(run("ReplaceFileW 0 ERROR_SHARING_VIOLATION"), dest == "D.SFV" ? former : whole) << "a sharing violation that outlasts every try ended no run";
		EXPECT_EQ(run("", "WriteFile 1"), "3" + former.substr(3)) << "a run ended outright mid-write (status 3) left its new file";
	}
}

/*
 * The test build fails its n-th allocation of an item, the seen set, a
 * seen entry or the seen index (VANTREL_FAILALLOC), or of the standard
 * library (VANTREL_FAILNEW), for n = 1, 2, ... until a run meets none.
 * Each failure gives one report, and only that, with its status: it
 * refuses the file, lets a later duplicate survive, or ends the run; no
 * new file is ever left, and nothing is leaked (the test build ends a
 * run that leaks with status 99). Between them the walks meet every
 * report.
 */
TEST(failalloc, every_failed_allocation_ends_soundly)
{
	const std::string readfail = "ERROR: Can't read SFV file!\n" + closing;
	const std::pair<std::string, int> reports[] = { /* and the status the run ends with, 0 where the kill stage goes on */
		{"Error: new_sfvitem: can't malloc\nError: readitemfromsfv: can't new sfvitem\n" + readfail, 1},
		{"Error: readitemfromsfv: can't malloc stack\n" + readfail, 1},
		{"Error: new_sfvitemmini: can't malloc\nError: addstack: new_sfvitemmini failed\n", 0}, {"ERROR: Out of memory!\n", 255},
	};
	std::set<std::string> met;
	scratch s;
	fs::copy_file(VANTREL_SAMPLE, s / "in.sfv");
	auto run = [&s](const std::string &kind, int n) {
		fs::remove(s / "out.sfv");
		return runtool({"-i", "in.sfv", "out.sfv"}, {.cwd = s.dir, .env = {"VANTREL_EXE=" VANTREL_TESTBIN, kind + "=" + std::to_string(n)}});
	};
	const toolrun whole = run("VANTREL_FAILALLOC", 0);
	const std::string clean = readfile(s / "out.sfv");
	for (const std::string kind : {"VANTREL_FAILALLOC", "VANTREL_FAILNEW"}) {
		int n = 1;
		for (toolrun r; (r = run(kind, n)).out != whole.out; n++) {
			SCOPED_TRACE(kind + " " + std::to_string(n));
			size_t k = 0, at = std::string::npos;
			while (k < std::size(reports) && (at = r.out.find(reports[k].first)) == std::string::npos)
				k++;
			ASSERT_LT(k, std::size(reports)) << r.out;
			const auto &[text, status] = reports[k];
			met.insert(kind.substr(12, 1) + std::to_string(k));
			EXPECT_EQ(r.status, status);
			EXPECT_EQ(r.out.substr(0, at), whole.out.substr(0, at)) << "a report before";
			EXPECT_TRUE(status == 0 ? at > r.out.find("Killing duplicating items...\n") && r.out.find("rror", at + text.size()) == std::string::npos
					: at + text.size() == r.out.size()) << "a duplicate kept before the stage, a report after, or the run went on";
			EXPECT_EQ(fs::exists(s / "out.sfv"), r.status == 0) << "a file was left";
			EXPECT_EQ(r.status == 0 && runtool({"out.sfv", "out.sfv"}, {s.dir}).status == 0 ? readfile(s / "out.sfv") : clean, clean)
			    << "more than a later duplicate survived";
		}
	}
	EXPECT_EQ(met, (std::set<std::string>{"A0", "A2", "A3", "N1", "N3"})) << "a way to fail that its walk did not reach";
}

} // namespace
