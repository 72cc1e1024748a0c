/*
 * Vantrel run end to end, as a user runs it: its exact standard output,
 * its exit status and the bytes of every file it leaves. Favourites
 * files are built here byte by byte, so that each case states its bytes
 * in a line or two.
 */
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <sys/mount.h>
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
	std::string s;
	for (int i = 0; i < 4; i++)
		s += char(uint32_t(v) >> (8 * i));
	return s;
}

std::string
text(const std::string &s)
{
	return le32(int32_t(s.size())) + s;
}

/* The fields every record holds, with values that show if they are lost. */
struct record {
	std::string title, comment;
	int32_t flag = 1;
	std::vector<int32_t> setting = std::vector<int32_t>(9);
	std::vector<int32_t> opaque = {101, -202, INT32_MAX, -404};
};

std::string
url(const record &r, const std::string &u, int32_t visited = 7)
{
	std::string s = "\x01" + text(r.title) + text(r.comment);
	for (int32_t v : {r.opaque[0], r.opaque[1], r.opaque[2], r.flag})
		s += le32(v);
	for (int32_t v : r.setting)
		s += le32(v);
	return s + le32(r.opaque[3]) + text(u) + le32(visited);
}

std::string
url(const std::string &title, const std::string &u)
{
	return url(record{title}, u);
}

/* A folder record up to its child count, which need not match what follows. */
std::string
folderhead(const record &r, int32_t color, int32_t count)
{
	std::string s = url(r, "");
	return "\x02" + s.substr(1, s.size() - 9) + le32(color) + le32(count);
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
	~scratch() { fs::remove_all(dir); }
	std::string operator/(const std::string &name) const { return dir + "/" + name; }
};

/* How a run of the tool is started, beyond its arguments. */
struct how {
	std::string cwd;               /* the folder it runs in */
	strings env;                   /* NAME=value, for this run alone */
	int closed = 0;                /* standard descriptors closed, as bits 1 << fd */
	std::string out;               /* a file for standard output, which is then not read */
	uid_t uid = 0;                 /* a user to run as, in group 3000 too */
	std::function<void(pid_t)> during; /* done while it runs */
	int blocked = 0;               /* a signal it is started with blocked */
};

struct toolrun {
	std::string out; /* standard output, with Unix line ends */
	int status;      /* exit status; 128+n when signal n ended it */
};

/* The words that start the tool: VANTREL_RUNNER's (an emulator, a checker), then the binary. */
strings
launcher()
{
	strings words;
	std::istringstream runner(getenv("VANTREL_RUNNER") ? getenv("VANTREL_RUNNER") : "");
	for (std::string w; runner >> w;)
		words.push_back(w);
	/* VANTREL_NOTMPFILE has the test build make every new file with a name. */
	words.push_back(getenv("VANTREL_EXE") ? getenv("VANTREL_EXE") : getenv("VANTREL_NOTMPFILE") ? VANTREL_TESTBIN : VANTREL_BIN);
	return words;
}

const bool underrunner = launcher().size() > 1;
/* A Windows build under wine: CR LF line ends, and no Unix permissions or links. */
const bool windowstool = launcher().back().find(".exe") != std::string::npos;

/*
 * The child's part of a run: argv as given, argv[0] too unless it runs
 * under another program, with a small stack, so that a walk that
 * recursed on the nesting depth of a file would crash.
 */
[[noreturn]] void
exectool(strings argv, const how &h, int pipefd)
{
	for (const std::string &e : h.env)
		putenv(strdup(e.c_str()));
	strings words = launcher();
	const bool direct = words.size() == 1;
	words.insert(words.end(), argv.begin() + (argv.empty() ? 0 : 1), argv.end());
	std::vector<char *> args;
	for (std::string &w : direct ? argv : words)
		args.push_back(&w[0]);
	args.push_back(nullptr);
	struct rlimit stack = {512 * 1024, 512 * 1024}, nocore = {0, 0};
	gid_t groups[] = {gid_t(h.uid), 3000};
	sigset_t mask;
	sigemptyset(&mask);
	for (int sig = 1; sig < NSIG; sig++)
		signal(sig, SIG_DFL);
	if (h.blocked != 0)
		sigaddset(&mask, h.blocked);
	sigprocmask(SIG_SETMASK, &mask, nullptr);
	setrlimit(RLIMIT_CORE, &nocore);
	dup2(h.out.empty() ? pipefd : open(h.out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644), 1);
	for (int fd = 0; fd <= 2; fd++)
		if (h.closed & 1 << fd)
			close(fd);
	if ((direct && setrlimit(RLIMIT_STACK, &stack) != 0) || (!h.cwd.empty() && chdir(h.cwd.c_str()) != 0) ||
	    (h.uid != 0 && (setgroups(2, groups) != 0 || setgid(h.uid) != 0 || setuid(h.uid) != 0)))
		_exit(126);
	execvp(words[0].c_str(), args.data());
	_exit(127);
}

toolrun
runargv(const strings &argv, const how &h = {})
{
	static scratch shared; /* the tool copied where any user may run it */
	how run = h;
	if (h.uid != 0 && (fs::exists(shared / "Vantrel") || fs::copy_file(launcher().back(), shared / "Vantrel")))
		run.env.push_back("VANTREL_EXE=" + shared / "Vantrel");
	int fds[2];
	if (pipe(fds) != 0)
		return {"pipe failed", -1};
	pid_t pid = fork();
	if (pid == 0)
		exectool(argv, run, fds[1]);
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
	/* Undo a Windows build's text stream: each CR LF back to the LF written. */
	for (size_t at = 0; windowstool && (at = r.out.find("\r\n", at)) != std::string::npos; at++)
		r.out.erase(at, 1);
	return r;
}

toolrun
runtool(const strings &args, const how &h = {})
{
	strings argv{"Vantrel"};
	argv.insert(argv.end(), args.begin(), args.end());
	return runargv(argv, h);
}

std::string
readfile(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	return std::string(std::istreambuf_iterator<char>(f), {});
}

void
writefile(const std::string &path, const std::string &bytes)
{
	std::ofstream(path, std::ios::binary) << bytes;
}

std::set<std::string>
entries(const std::string &dir)
{
	std::set<std::string> names;
	for (const auto &e : fs::directory_iterator(dir))
		names.insert(e.path().filename());
	return names;
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

const std::string a = url("a", "http://a/"), b = url("b", "http://b/"), cu = url("c", "http://c/");
const std::string plain = sfv(root("LINKS", {a, folder("f", {b}, 4)}), root("Favorite", {cu, folder("e")}));
const std::string twodups = sfv(root("LINKS", {a, folder("f", {url("copy of a", "http://a/")})}),
    root("Favorite", {cu, url("c %s again", "http://c/")}));
const std::string twodupsclean = sfv(root("LINKS", {a, folder("f")}), root("Favorite", {cu}));

struct e2ecase {
	const char *name;
	strings args;                   /* IN and OUT are files of the folder it runs in, DIR its full path */
	std::optional<std::string> in;  /* what IN holds, if it exists */
	std::string printed;            /* BANNER stands for the banner */
	int status;
	std::optional<std::string> out; /* what OUT holds afterwards, if it exists */
};

/* Runs a case in a scratch folder and checks all it shows; VANTREL_SEEDS collects the inputs. */
void
check(const e2ecase &c)
{
	SCOPED_TRACE(c.name);
	scratch s;
	strings args;
	for (std::string arg : c.args) {
		if (arg.compare(0, 4, "DIR/") == 0)
			arg.replace(0, 3, (windowstool ? "Z:" : "") + s.dir);
		args.push_back(arg == "IN" ? "in.sfv" : arg == "OUT" ? "out.sfv" : arg);
	}
	if (c.in)
		writefile(s / "in.sfv", *c.in);
	if (c.in && c.in->size() <= 65536 && getenv("VANTREL_SEEDS"))
		writefile(getenv("VANTREL_SEEDS") + std::string("/") + std::to_string(std::hash<std::string>()(*c.in)), *c.in);
	toolrun r = runtool(args, {s.dir});
	std::string printed = c.printed;
	if (printed.find("BANNER") != std::string::npos)
		printed.replace(printed.find("BANNER"), 6, banner);
	EXPECT_EQ(r.out, printed);
	EXPECT_EQ(r.status, c.status);
	EXPECT_EQ(fs::exists(s / "out.sfv") ? readfile(s / "out.sfv") : "none", c.out.value_or("none"));
	EXPECT_EQ(fs::exists(s / "in.sfv") ? readfile(s / "in.sfv") : "none", c.in.value_or("none"));
	EXPECT_EQ(entries(s.dir).size(), size_t(c.in.has_value() + c.out.has_value())) << "a file was left";
}

TEST(cli, parses_options_and_file_arguments)
{
	const std::string counted = "BANNER" + reading + "Counting items...Done\n7 items, 4 folder, 3 urls.\n" + unlinking + freeing;
	const std::string list = "Title:L\nComment:\nSetting:--------,0\nColor:" + defaultcolor +
	    "\n\nTitle:F\nComment:\nSetting:--------,0\nColor:" + defaultcolor + "\n";
	const e2ecase cases[] = {
		{"no arguments", {}, {}, usage, 0, {}},
		{"a source alone needs -n", {"IN"}, plain, usage, 0, {}},
		{"an empty argument is an empty name", {"", "OUT"}, {}, usage, 0, {}},
		{"-V stops before any file is looked at", {"-V", "missing", "OUT"}, {}, "BANNER", 0, {}},
		{"three files end the run at once", {"IN", "-V", "OUT", "3", "-x"}, plain, "Too many file arguments!", 1, {}},
		{"unknown letters", {"-vx", "-q"}, {}, "Unknown argument: x\nUnknown argument: q\n" + usage, 0, {}},
		{"--v reports the dash and keeps options open", {"--v", "-V"}, {}, "Unknown argument: -\nBANNER", 0, {}},
		{"--- reports two dashes", {"---"}, {}, "Unknown argument: -\nUnknown argument: -\n" + usage, 0, {}},
		{"- alone is nothing", {"-", "IN"}, plain, usage, 0, {}},
		{"/- is a source, or on Windows makes -n one", {"/-", "-n", "OUT"}, {}, cantopen, 255, {}},
		{"options after the files, -i and -n", {"IN", "-i", "OUT", "-n"}, plain, counted, 0, {}},
		{"/iv: options on Windows, elsewhere a file", {"/iv", "-n", "IN"}, plain, windowstool ? counted : cantopen,
		    windowstool ? 0 : 255, {}},
		/* The scratch folder's name holds n, l and v, which a path read as options would turn on. */
		{"an absolute source", {"DIR/in.sfv", "OUT"}, twodups, "BANNER" + cleaned(2), 0, twodupsclean},
		{"an absolute destination", {"IN", "DIR/out.sfv"}, twodups, "BANNER" + cleaned(2), 0, twodupsclean},
		{"--help alone", {"--help"}, {}, usage, 0, {}},
		{"--help before files", {"--help", "IN", "OUT"}, plain, usage, 0, {}},
		{"--version alone", {"--version"}, {}, "BANNER", 0, {}},
		{"--version before files", {"--version", "IN", "OUT"}, plain, "BANNER", 0, {}},
		{"--help after -- is a file", {"-n", "--", "--help"}, {}, cantopen, 255, {}},
		{"-n alone", {"-n", "IN"}, plain, "BANNER" + reading + unlinking + freeing, 0, {}},
		{"-l implies -n and ignores the destination; -i counts once", {"-il", "IN", "OUT"}, sfv(root("L")),
		    "BANNER" + reading + list + "Counting items...Done\n2 items, 2 folder, 0 urls.\n" + unlinking + freeing, 0, {}},
	};
	for (const e2ecase &c : cases)
		check(c);
}

TEST(cli, names_itself_by_the_file_name_part_of_argv0)
{
	if (underrunner)
		GTEST_SKIP() << "the program the tool runs under sets argv[0]";
	const std::pair<strings, std::string> cases[] = {
		{{"/usr/local/bin/Vantrel", "missing", "out"}, cantopen},
		{{"C:\\Tools\\Vantrel.exe", "missing", "out"}, "Vantrel.exe: Can't open input file\n"},
		{{"", "missing", "out"}, cantopen},
		{{"/bin/Other"}, "Usage: Other" + usage.substr(usage.find(" ["))},
		{{}, usage},
	};
	for (const auto &c : cases)
		EXPECT_EQ(runargv(c.first).out, c.second);
}

TEST(cli, refuses_sources_that_are_not_whole_favourites_files)
{
	const std::string notsfv = "ERROR: It isn't SFV file!\n" + closing;
	const std::string version = "ERROR: only support SFV1.01...sorry.\n" + closing;
	const std::string roothead = folderhead(record{"L"}, 0, 1).substr(1), u = url("t", "u");
	const e2ecase cases[] = {
		{"missing source", {"IN", "OUT"}, {}, cantopen, 255, {}},
		{"empty source", {"IN", "OUT"}, "", notsfv, 1, {}},
		{"shorter than a header", {"IN", "OUT"}, header.substr(0, 12), version, 1, {}},
		{"wrong signature", {"IN", "OUT"}, "SFV-FORMAT\x1b" + plain.substr(11), notsfv, 1, {}},
		{"version 1.00", {"IN", "OUT"}, "SFV-FORMAT\x1a\x64" + plain.substr(12), version, 1, {}},
		{"version 101 big-endian", {"IN", "OUT"}, header.substr(0, 11) + std::string("\0\x65", 2) + plain.substr(13),
		    version, 1, {}},
		{"type 7 in Favorite, in place", {"IN", "IN"}, sfv(root("L"), roothead + "\x07" + u.substr(1)),
		    refused(true, "illegal type"), 1, {}},
		{"type 0", {"-l", "IN"}, sfv(roothead + '\0' + u.substr(1)), refused(false, "illegal type"), 1, {}},
		{"type 3 cut short", {"IN", "OUT"}, header + roothead + "\x03" + u.substr(1, 9),
		    refused(false, "unexpected end of file"), 1, {}},
		{"a title of 1025 bytes", {"-l", "IN"}, sfv(root(std::string(1025, 't'))), refused(false, "illegal length"), 1, {}},
		{"a title of length -1", {"IN", "OUT"}, header + le32(-1) + std::string(64, 'x'), refused(false, "illegal length"), 1, {}},
		{"a url of 1025 bytes", {"IN", "OUT"}, sfv(root("L", {url("t", std::string(1025, 'u'))})),
		    refused(false, "illegal length"), 1, {}},
		{"a count beyond the file", {"IN", "OUT"}, header + folderhead(record{"L"}, 0, 1000000000).substr(1) + u,
		    refused(false, "unexpected end of file"), 1, {}},
		{"a count beyond the children", {"IN", "OUT"}, header + folderhead(record{"L"}, 0, 3).substr(1) + u + u,
		    refused(false, "unexpected end of file"), 1, {}},
	};
	for (const e2ecase &c : cases)
		check(c);
	const std::string links = sfv(root("L", {folder("f", {a, b})}), ""), whole = links + root("F", {cu});
	for (size_t n = 13; n < whole.size(); n += underrunner ? 17 : 1)
		check({"cut short", {"IN", "OUT"}, whole.substr(0, n), refused(n >= links.size(), "unexpected end of file"), 1, {}});
}

TEST(cli, writes_back_every_field_and_drops_only_what_a_text_ends_before)
{
	record odd{sjis, "comment \xff\x80", 0, {1, 0, -1, 0, 2, 0, 0, 1, -7}, {INT32_MIN, -1, 0, INT32_MAX}};
	const std::string longest(1024, 'x');
	strings longurls; /* records at their longest, many straddling a refill of the reader */
	for (int i = 1000; i < 1100; i++)
		longurls.push_back(url(record{longest, longest}, longest.substr(4) + std::to_string(i), i));
	const strings files = {
		sfv(root(""), root("")),
		sfv(root(sjis, {folder("f", {}, 8), folder("g", {url("", "")}, -3)}), root("F", {url(odd, "u\x80\xff", -1),
		    folderhead(odd, 9, 0), folder("a", {folder("b", {folder("c", {b})})})})),
		sfv(root(longest, longurls)),
	};
	for (const std::string &f : files)
		check({"a file without duplicates, byte for byte", {"IN", "OUT"}, f, "BANNER" + cleaned(0, f != files[0]), 0, f});
	check({"a zero byte ends a text; a negative count is none; what follows Favorite goes", {"IN", "OUT"},
	    sfv(folderhead(record{std::string("ab\0cd", 5)}, 0, -5).substr(1), root("F", {url("t", std::string("u\0v", 3))})) +
	    "trailing", "BANNER" + cleaned(0), 0, sfv(root("ab"), root("F", {url("t", "u")}))});
}

TEST(cli, removes_every_later_copy_and_keeps_the_first)
{
	const strings odd = {url("http://a/", "x"), url("2", "http://a"), url("3", "HTTP://A/"), url("4", "\x83\x6a"), a};
	const struct {
		const char *name;
		std::string in, out;
		int removed;
	} cases[] = {
		{"no URL items: no seen list to free", sfv(root("L", {folder("f")})), sfv(root("L", {folder("f")})), 0},
		{"a folder's first child", sfv(root("L", {a, folder("f", {url("x", "http://a/"), b})})),
		    sfv(root("L", {a, folder("f", {b})})), 1},
		{"a folder's last child", sfv(root("L", {folder("f", {a, b, url("x", "http://a/")})})),
		    sfv(root("L", {folder("f", {a, b})})), 1},
		{"a folder emptied stays", sfv(root("L", {a, folder("f", {a, a}), b}), root("F", {folder("g", {b})})),
		    sfv(root("L", {a, folder("f"), b}), root("F", {folder("g")})), 3},
		{"the first copy in Favorite when LINKS has none", sfv(root("L", {b}), root("F", {folder("f", {a}), a, folder("g", {a})})),
		    sfv(root("L", {b}), root("F", {folder("f", {a}), folder("g")})), 2},
		{"a URL in both trees stays in LINKS", sfv(root("L", {folder("x", {folder("y", {a})})}), root("F", {a})),
		    sfv(root("L", {folder("x", {folder("y", {a})})})), 1},
		{"titles, letter case, a trailing slash and every byte count", sfv(root("L", {url("1", "\x83\x6b")}), root("F", odd)),
		    sfv(root("L", {url("1", "\x83\x6b")}), root("F", odd)), 0},
		{"an empty URL equals only another", sfv(root("L", {url("1", ""), url("2", " "), url("3", "")})),
		    sfv(root("L", {url("1", ""), url("2", " ")})), 1},
		{"the cleaned file again", twodupsclean, twodupsclean, 0},
	};
	for (const auto &k : cases)
		check({k.name, {"IN", "OUT"}, k.in, "BANNER" + cleaned(k.removed, k.in != cases[0].in), 0, k.out});
	check({"two removals named with -v, a title holding %s", {"-v", "IN", "OUT"}, twodups, "BANNER" +
	    cleaned(2, true, "Dup.Deleted copy of a (http://a/)\nDup.Deleted c %s again (http://c/)\n"), 0, twodupsclean});
	check({"line ends in texts are printed and written as they are", {"-v", "IN", "OUT"},
	    sfv(root("L", {url("a\n", "http://a/\r\n"), url("\r\n\r\r\nb\n", "http://a/\r\n")})),
	    "BANNER" + cleaned(1, true, "Dup.Deleted \r\n\r\r\nb\n (http://a/\r\n)\n"), 0, sfv(root("L", {url("a\n", "http://a/\r\n")}))});
}

TEST(cli, lists_every_field_indented_by_depth)
{
	const record l{"L", "", 1, {1, 0, 0, 0, 0, 0, 0, 0, 0}}, t{"T", "C", 0, {0, 0, 0, 0, 0, 0, 0, 0, 2}};
	const record ja{"ja", "", 1, {1, 1, 0, 0, 0, 0, 0, 0, 5}}, all{"all", "", 0, {1, 2, 3, 4, 5, 6, 7, -8, -9}};
	const std::string in = sfv(folderhead(l, 0, 6).substr(1) + url(t, "u", 3) + url(ja, "v", 0) + url(all, "w", -1) +
	    folderhead(record{"c"}, 9, 0) + folderhead(record{"c"}, -1, 0) + folder("f", {folder("g", {a}, 8)}, 2),
	    folderhead(record{"F"}, 1, 0).substr(1));
	const std::string listing = "Title:L\nComment:\nSetting:J-------,0\nColor:" + defaultcolor + "\n"
	    " Title:T\n Comment:C\n Setting:(--------,2)\n URL:u\n Visited:3\n\n"
	    " Title:ja\n Comment:\n Setting:JA------,5\n URL:v\n Visited:0\n\n"
	    " Title:all\n Comment:\n Setting:(JAXDPSVL,-9)\n URL:w\n Visited:-1\n\n"
	    " Title:c\n Comment:\n Setting:--------,0\n Color:9\n\n"
	    " Title:c\n Comment:\n Setting:--------,0\n Color:-1\n\n"
	    " Title:f\n Comment:\n Setting:--------,0\n Color:\x8e\x87\n"
	    "  Title:g\n  Comment:\n  Setting:--------,0\n  Color:\x8d\x95\n"
	    "   Title:a\n   Comment:\n   Setting:--------,0\n   URL:http://a/\n   Visited:7\n\n"
	    "Title:F\nComment:\nSetting:--------,0\nColor:\x90\xd4\n";
	check({"the listing", {"-l", "IN"}, in, "BANNER" + reading + listing + unlinking + freeing, 0, {}});
}

TEST(cli, walks_folders_nested_deeper_than_any_stack)
{
	const std::string deep = url("deep", "http://deep/");
	check({"cleaned 200000 deep", {"-i", "IN", "OUT"}, deepfile(200000, {deep, deep}), "BANNER" + reading +
	    "Counting items...Done\nKilling duplicating items...\nDeleted 1 items.\nFreeing stack...Done\nDone\n"
	    "Counting items...Done\n\nBefore: 200004 items, 200002 folder, 2 urls.\n"
	    "After: 200003 items, 200002 folder, 1 urls.\n\n" + unlinking + exported + freeing, 0, deepfile(200000, {deep})});
	std::string listing;
	for (int i = 0; i <= 5001; i++) {
		std::string pad(size_t(i), ' ');
		listing += pad + "Title:" + (i == 0 ? "L" : i <= 5000 ? "d" : "deep") + "\n" + pad + "Comment:\n" + pad +
		    "Setting:--------,0\n" + pad + (i <= 5000 ? "Color:" + defaultcolor : "URL:http://deep/\n" + pad + "Visited:7") + "\n";
	}
	listing += "\nTitle:F\nComment:\nSetting:--------,0\nColor:" + defaultcolor + "\n";
	check({"listed 5000 deep", {"-l", "IN"}, deepfile(5000, {deep}), "BANNER" + reading + listing + unlinking + freeing, 0, {}});
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
	for (const auto &e : fs::recursive_directory_iterator(dir, fs::directory_options::skip_permission_denied)) {
		std::string name = e.path().filename();
		if (name.size() > 7 && name[name.size() - 7] == '.')
			found.push_back(e.path());
	}
	return found;
}

TEST(dest, cleans_in_place_through_a_new_file_whatever_the_name)
{
	scratch s;
	const std::string deep = std::string(100, 'd') + "/" + std::string(100, 'e') + "/" + std::string(100, 'f') + "/";
	std::string longest = s.dir + "/"; /* a path of 4,090 bytes, near the system's limit */
	while (longest.size() < 3800)
		longest += std::string(200, 'p') + "/";
	longest += std::string(4090 - longest.size(), 'n');
	for (const std::string &name : {s / "a/in.sfv", s / "b/\xe3\x81\x8a\xe6\xb0\x97\xe3\x81\xab.sfv", longest,
	    s / deep + std::string(255, 'n'), s / deep + "c/" + std::string(83, 'n') + std::string(60, '\xe3') + ".sfv"}) {
		SCOPED_TRACE(name.substr(0, 80));
		if (windowstool && name == longest)
			continue; /* wine's server names every file by its whole Unix path, which can't be this long */
		fs::create_directories(fs::path(name).parent_path());
		writefile(name, twodups);
		ino_t before = statof(name).st_ino;
		EXPECT_EQ(runtool({"--", name, name}, {s.dir}).status, 0);
		EXPECT_EQ(readfile(name), twodupsclean);
		EXPECT_NE(statof(name).st_ino, before) << "written in place, not through a new file";
		EXPECT_EQ(entries(fs::path(name).parent_path()).size(), 1u) << "a file was left";
		fs::remove(name);
	}
}

TEST(dest, keeps_owner_group_and_permission_bits)
{
	if (windowstool || geteuid() != 0)
		GTEST_SKIP() << "only root can make files of other users, and a Windows file has no permission bits";
	scratch s;
	writefile(s / "in.sfv", twodups);
	const struct {
		unsigned uid, gid, mode, runas, newuid;
	} cases[] = {
		{0, 0, 0640, 0, 0},
		{0, 0, 04755, 0, 0},          /* set-user-id */
		{5, 7, 02775, 0, 5},          /* set-group-id, another user's file */
		{1001, 3000, 02660, 1002, 1002}, /* a member of the group keeps the group */
	};
	for (const auto &k : cases) {
		writefile(s / "shared.sfv", "old");
		chown((s / "shared.sfv").c_str(), k.uid, k.gid);
		chmod((s / "shared.sfv").c_str(), k.mode);
		EXPECT_EQ(runtool({"in.sfv", "shared.sfv"}, {s.dir, {}, 0, "", k.runas}).status, 0);
		struct stat st = statof(s / "shared.sfv");
		EXPECT_EQ(std::vector<unsigned>({st.st_uid, st.st_gid, st.st_mode & 07777u, readfile(s / "shared.sfv") == twodupsclean}),
		    std::vector<unsigned>({k.newuid, k.gid, k.mode, true}));
	}
}

/*
 * Devices of the scratch folder's own when root, so that a fault that
 * took one for a file could not replace the machine's own.
 */
TEST(dest, reports_what_cannot_be_written)
{
	scratch s;
	writefile(s / "in.sfv", twodups);
	writefile(s / "junk.sfv", "junk");
	writefile(s / "ro.sfv", "keep");
	chmod((s / "ro.sfv").c_str(), 0444);
	mkdir((s / "folder").c_str(), 0755);
	std::string full = "/dev/full", null = "/dev/null";
	if (geteuid() == 0) {
		mknod((full = s / "full").c_str(), S_IFCHR | 0666, makedev(1, 7));
		mknod((null = s / "null").c_str(), S_IFCHR | 0666, makedev(1, 3));
	}
	const std::string cantwrite = "Exporting!\nERROR: Can't open output file!\n";
	const struct {
		strings args;
		std::string out;  /* a file for standard output */
		std::string tail; /* how standard output ends */
		int status;
		unsigned uid = 0; /* a user to run as, when the run is root's */
	} cases[] = {
		{{"in.sfv", "missing/out.sfv"}, "", cantwrite, 255},
		{{"in.sfv", "folder"}, "", cantwrite, 255},
		{{"in.sfv", "ro.sfv"}, "", cantwrite, 255, 1002},
		{{"in.sfv", "--", full}, "", written + "ERROR: Can't write output file!\n", 255},
		{{"in.sfv", "--", null}, "", exported + freeing, 0},
		{{"-l", "in.sfv"}, full, "", 255},
		{{"-i", "-n", "in.sfv"}, full, "", 255},
		{{"-n", "junk.sfv"}, full, "", 1},
	};
	for (const auto &k : cases) {
		SCOPED_TRACE(k.args.back() + " " + k.out);
		toolrun r = runtool(k.args, {s.dir, {}, 0, k.out, geteuid() == 0 && !windowstool ? k.uid : 0});
		EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), k.tail.size())), k.tail);
		EXPECT_EQ(r.status, k.status);
	}
	EXPECT_EQ(windowstool ? runtool({"in.sfv", "NUL"}, {s.dir}).status : 0, 0);
	EXPECT_EQ(readfile(s / "in.sfv") + readfile(s / "ro.sfv"), twodups + "keep");
	EXPECT_EQ(entries(s.dir).size(), geteuid() == 0 ? 6u : 4u) << "a file was left";
}

/*
 * The first n items of a file large enough that its export takes a
 * while: 30000 URLs, then the same again, to be found after the seen
 * index has grown many times.
 */
std::string
bigfile(int n)
{
	strings urls;
	for (int i = 0; i < n; i++)
		urls.push_back(url("a title of some length " + std::to_string(i), "http://example.com/" + std::to_string(i % 30000)));
	return sfv(root("L", urls));
}

/*
 * What a hostile user or a careless administrator may set up around a
 * destination, each with the status, the end of the output and the
 * bytes of the one file that matters. A row whose setup needs what this
 * run lacks (root, a filesystem that keeps folders append-only) is
 * passed over.
 */
TEST(dest, stands_up_to_planted_links_odd_folders_and_full_disks)
{
	if (windowstool)
		GTEST_SKIP() << "Unix links, folders and mounts";
	scratch s;
	const bool root = geteuid() == 0;
	bool appendonly = false, full = false;
	const std::string opened = "Exporting!\nERROR: Can't open output file!\n", cut = written + "ERROR: Can't write output file!\n";
	const std::string longname = "m2/" + std::string(255, 'n');
	auto at = [&s](const std::string &name) { return s / name; };
	auto disk = [&](const char *dir, const char *size) { return root && mount("tmpfs", at(dir).c_str(), "tmpfs", 0, size) == 0; };
	writefile(s / "in.sfv", twodups);
	writefile(s / "big.sfv", bigfile(500));
	const struct {
		const char *name;
		std::function<bool()> setup; /* false where it can't be set up here */
		strings args;
		how h;
		int status;
		std::string tail;            /* how the output ends */
		std::string file, bytes;     /* a file and what it must hold */
	} cases[] = {
		{"a link another user planted in a sticky folder", [&] { writefile(at("victim"), "old");
		    return root && mkdir(at("tmp").c_str(), 01777) == 0 && chmod(at("tmp").c_str(), 01777) == 0 &&
		    symlink("../victim", at("tmp/l").c_str()) == 0 && lchown(at("tmp/l").c_str(), 1002, 1002) == 0; },
		    {"in.sfv", "tmp/l"}, {s.dir}, 255, opened, "victim", "old"},
		{"the user's own link there", [&] { return root && symlink("../mine", at("tmp/mine").c_str()) == 0; },
		    {"in.sfv", "tmp/mine"}, {s.dir}, 0, exported + freeing, "mine", twodupsclean},
		{"a link from a working folder the user may not search", [&] { writefile(at("priv/work/t"), "old");
		    return root && chmod(at("priv").c_str(), 0700) == 0 && chmod(at("priv/work").c_str(), 0777) == 0 &&
		    symlink("t", at("priv/work/l").c_str()) == 0 && chown(at("priv/work/t").c_str(), 1002, 1002) == 0 &&
		    fs::copy_file(at("in.sfv"), at("priv/work/in.sfv")); },
		    {"in.sfv", "l"}, {at("priv/work"), {}, 0, "", 1002}, 0, exported + freeing, "priv/work/t", twodupsclean},
		{"/dev/stdout, a log opened for appending", [&] { writefile(at("run.log"), "earlier\n"); return true; },
		    {"--", "in.sfv", "/dev/stdout"}, {s.dir, {}, 0, at("run.log")}, 0, "", "run.log", "earlier\n" + twodupsclean + banner + cleaned(2)},
		{"/proc/self/fd/1, the same", [&] { writefile(at("run.log"), "earlier\n"); return true; },
		    {"--", "in.sfv", "/proc/self/fd/1"}, {s.dir, {}, 0, at("run.log")}, 0, "", "run.log", "earlier\n" + twodupsclean + banner + cleaned(2)},
		{"a folder that takes no new file, its file written in place", [&] { writefile(at("ro/d"), "old");
		    return root && chown(at("ro/d").c_str(), 1002, 1002) == 0; },
		    {"in.sfv", "ro/d"}, {s.dir, {}, 0, "", 1002}, 0, exported + freeing, "ro/d", twodupsclean},
		{"a folder the user may search and write but not read", [&] { writefile(at("u/d"), "old");
		    return root && chown(at("u").c_str(), 1002, 1002) == 0 && chown(at("u/d").c_str(), 1002, 1002) == 0 &&
		    chmod(at("u").c_str(), 0300) == 0; },
		    {"in.sfv", "u/d"}, {s.dir, {}, 0, "", 1002}, 0, exported + freeing, "u/d", twodupsclean},
		{"an append-only folder", [&] { writefile(at("ao/d"), "old");
		    return appendonly = root && system(("chattr +a " + at("ao") + " 2>/dev/null").c_str()) == 0; },
		    {"in.sfv", "ao/d"}, {s.dir}, 0, exported + freeing, "ao/d", twodupsclean},
		{"a new file there", [&] { return appendonly; }, {"in.sfv", "ao/new"}, {s.dir}, 0, exported + freeing, "ao/new", twodupsclean},
		{"no /dev for a closed standard output", [&] { writefile(at("nodev.sh"), "mount -t tmpfs none /dev && exec \"$@\"");
		    writefile(at("nodev"), "old"); return root; },
		    {"in.sfv", "nodev"}, {s.dir, {"VANTREL_RUNNER=unshare -m sh " + at("nodev.sh")}, 1 << 1}, 255, "", "nodev", twodupsclean},
		{"a disk out of inodes", [&] { return disk("m1", "size=256k,nr_inodes=2") && (writefile(at("m1/d"), "old"), true); },
		    {"big.sfv", "m1/d"}, {s.dir}, 255, opened, "m1/d", "old"},
		{"a disk that fills, and a name of 255 bytes", [&] { return (full = disk("m2", "size=64k")) &&
		    (writefile(at(longname), std::string(40000, 'x')), true); },
		    {"big.sfv", longname}, {s.dir}, 255, cut, longname, std::string(40000, 'x')},
		{"a link to a new file on that disk", [&] { return full && symlink("m2/new", at("l").c_str()) == 0; },
		    {"big.sfv", "l"}, {s.dir}, 255, cut, "m2/new", "none"},
	};
	for (const auto &k : cases) {
		SCOPED_TRACE(k.name);
		fs::create_directories(fs::path(at(k.file)).parent_path());
		if (!k.setup())
			continue;
		toolrun r = runtool(k.args, k.h);
		EXPECT_EQ(r.status, k.status);
		EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), k.tail.size())), k.tail);
		EXPECT_EQ(fs::exists(at(k.file)) ? readfile(at(k.file)) : "none", k.bytes);
		EXPECT_EQ(strays(s.dir), strings()) << "a new file was left";
	}
	system(("chattr -a " + at("ao") + " 2>/dev/null; umount " + at("m1") + " " + at("m2") + " 2>/dev/null").c_str());
}

TEST(dest, writes_no_message_into_a_file_when_standard_descriptors_are_closed)
{
	if (underrunner)
		GTEST_SKIP() << "the program the tool runs under needs its standard descriptors";
	scratch s;
	/* Unknown letters, 20 bytes of messages each, fill the buffer at each moment of the export in turn. */
	for (int n = 1; n < 420; n += 2) {
		const int closed = n == 1 ? 1 << 0 | 1 << 2 : 1 << 1;
		writefile(s / "in.sfv", twodups);
		EXPECT_EQ(runtool({"-" + std::string(n, 'x'), "-v", "in.sfv", "in.sfv"}, {s.dir, {}, closed}).status, n == 1 ? 0 : 255);
		EXPECT_EQ(readfile(s / "in.sfv"), twodupsclean) << n;
	}
}

TEST(dest, leaves_the_former_file_or_the_new_one_whatever_stops_the_run)
{
	if (underrunner)
		GTEST_SKIP() << "the moments are timed for the tool run directly";
	scratch s;
	const std::string old = bigfile(60000), clean = bigfile(30000);
	writefile(s / "in.sfv", old);
	auto start = std::chrono::steady_clock::now();
	ASSERT_EQ(runtool({"in.sfv", "in.sfv"}, {s.dir}).status, 0);
	auto took = std::chrono::steady_clock::now() - start;
	ASSERT_EQ(readfile(s / "in.sfv"), clean);
	/* A new file named from the start is left when the run is killed outright. */
	for (int sig : {SIGTERM, getenv("VANTREL_NOTMPFILE") ? SIGTERM : SIGKILL}) {
		for (int i = 0; i < 22; i++) {
			SCOPED_TRACE(std::to_string(i) + " " + strsignal(sig));
			writefile(s / "in.sfv", old);
			toolrun r = runtool({"in.sfv", "in.sfv"}, {s.dir, {}, 0, "", 0, [&](pid_t pid) {
				std::this_thread::sleep_for(took * i / 20);
				kill(pid, sig);
			}});
			EXPECT_TRUE(r.status == 0 || r.status == 128 + sig) << r.status;
			EXPECT_TRUE(readfile(s / "in.sfv") == old || readfile(s / "in.sfv") == clean) << "neither the former file nor the new";
			EXPECT_EQ(entries(s.dir), std::set<std::string>{"in.sfv"});
		}
	}
}

TEST(dest, removes_its_named_new_file_when_a_signal_stops_it)
{
	if (underrunner)
		GTEST_SKIP() << "the signal is for the tool itself";
	scratch s;
	const std::string old = bigfile(60000);
	/* The last is blocked by the caller, as a supervisor may: the run goes through as if it never came. */
	for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGXFSZ, SIGSEGV, SIGTERM + 100}) {
		SCOPED_TRACE(strsignal(sig % 100));
		writefile(s / "in.sfv", old);
		auto stop = [&](pid_t pid) {
			int ws;
			waitpid(pid, &ws, WUNTRACED);
			EXPECT_EQ(entries(s.dir).size(), 2u) << "stopped before the new file was made";
			kill(pid, sig % 100);
			kill(pid, SIGCONT);
		};
		/* The 20th system call of the export is one of its writes. */
		how h{s.dir, {"VANTREL_NOTMPFILE=1", "VANTREL_STOPAT=20"}, 0, "", 0, stop, sig > 100 ? SIGTERM : 0};
		toolrun r = runtool({"in.sfv", "in.sfv"}, h);
		EXPECT_EQ(r.status, sig > 100 ? 0 : 128 + sig);
		EXPECT_EQ(readfile(s / "in.sfv"), sig > 100 ? bigfile(30000) : old);
		EXPECT_EQ(entries(s.dir), std::set<std::string>{"in.sfv"});
	}
}

/*
 * An access list in its stored form: the owner rw, user 1000 rw, the
 * group rx, the mask rw (so the group may only read), others nothing.
 */
std::string
acl()
{
	std::string s = le32(2);
	for (int32_t entry : {0x01 | 6 << 16, 0x02 | 6 << 16, 0x04 | 5 << 16, 0x10 | 6 << 16, 0x20})
		s += le32(entry) + le32(entry == (0x02 | 6 << 16) ? 1000 : -1);
	return s;
}

/* The extended attribute name of path, or "none". */
std::string
attr(const std::string &path, const char *name)
{
	char buf[256];
	ssize_t n = getxattr(path.c_str(), name, buf, sizeof(buf));
	return n < 0 ? "none" : std::string(buf, size_t(n));
}

/*
 * The test build fails its n-th system call of the export with the
 * errno given, for n = 1, 2, ... until a run makes fewer calls than n:
 * for a file reached through a link, with an access list and an
 * attribute of its own, and for a new file behind a link to none. After
 * each run the destination is the former file or the new one, and the
 * status says which; nothing is left beside it; the link stays; and
 * where the access list was not kept, its group has no access. The
 * sanitizer build finds what a run leaks.
 */
TEST(dest, every_failed_system_call_leaves_the_former_file_or_the_new_one)
{
	if (underrunner)
		GTEST_SKIP() << "the test build runs alone";
	scratch s;
	const std::string unsynced = "ERROR: Output file is in place, but can't be flushed to disk!\n", list = "system.posix_acl_access";
	writefile(s / "in.sfv", twodups);
	symlink("t", (s / "link").c_str());
	symlink("new", (s / "dangling").c_str());
	for (int err : {ENOSPC, EIO, EACCES, ENAMETOOLONG}) {
		for (const std::string dest : {"link", "dangling"}) {
			const std::string file = s / (dest == "link" ? "t" : "new"), former = dest == "link" ? "old" : "none";
			strings outs;
			int n = 1;
			for (;; n++) {
				SCOPED_TRACE(dest + ", " + strerror(err) + " at call " + std::to_string(n));
				fs::remove(s / "new");
				writefile(s / "t", "old");
				writefile(s / "count", "");
				chmod((s / "t").c_str(), 0660);
				setxattr((s / "t").c_str(), list.c_str(), acl().data(), acl().size(), 0);
				setxattr((s / "t").c_str(), "user.origin", "here", 4, 0);
				toolrun r = runtool({"in.sfv", dest}, {s.dir, {"VANTREL_EXE=" VANTREL_TESTBIN, "VANTREL_FAILSYS=" +
				    std::to_string(n) + " " + std::to_string(err), "VANTREL_SYSCOUNT=" + s / "count"}});
				const bool placed = r.status == 0 || r.out.find(unsynced) != std::string::npos;
				outs.push_back(r.out);
				EXPECT_TRUE(r.status == 0 || r.status == 255) << r.out;
				EXPECT_EQ(fs::exists(file) ? readfile(file) : "none", placed ? twodupsclean : former);
				EXPECT_EQ(strays(s.dir), strings()) << "a new file was left";
				EXPECT_TRUE(fs::is_symlink(s / dest));
				const mode_t group = statof(file).st_mode & 070; /* none where the list could not be read */
				EXPECT_TRUE(!placed || former != "old" || attr(file, list.c_str()) == acl() || group == 040 || group == 0)
				    << "the group gained access";
				if (fs::file_size(s / "count") < uintmax_t(n))
					break;
			}
			EXPECT_GT(n, 10) << "too few calls failed to reach every step";
			/* n - 1 calls make a whole run; the last but one flushes the folder. */
			EXPECT_NE(outs[size_t(n) - 3].find(unsynced), std::string::npos) << outs[size_t(n) - 3];
			if (former == "old") {
				EXPECT_EQ(attr(file, list.c_str()) + attr(file, "user.origin"), acl() + "here");
			}
		}
	}
}

/*
 * The test build fails its n-th allocation of an item, a seen-list entry
 * or the seen index (VANTREL_FAILALLOC), or of the standard library
 * (VANTREL_FAILNEW), for n = 1, 2, ... until a run meets none. Each
 * failure is reported and refuses the file, lets a later duplicate
 * survive, or ends the run; no partial or new file is ever left, and
 * the memcheck suites find nothing lost.
 */
TEST(failalloc, every_failed_allocation_ends_soundly)
{
	const std::string readfail = "Error: readitemfromsfv: can't new sfvitem\nERROR: Can't read SFV file!\n" + closing;
	const std::string seenfail = "Error: new_sfvitemmini: can't malloc\nError: addstack: new_sfvitemmini failed\n";
	const std::string indexfail = "Error: growindex: can't malloc\nError: addstack: growindex failed\n";
	auto endswith = [](const std::string &all, const std::string &tail) {
		return all.size() >= tail.size() && all.compare(all.size() - tail.size(), tail.size(), tail) == 0;
	};
	scratch s;
	fs::copy_file(VANTREL_SAMPLE, s / "in.sfv");
	auto run = [&s](const std::string &kind, int n) {
		fs::remove(s / "out.sfv");
		return runtool({"-i", "in.sfv", "out.sfv"}, {s.dir, {"VANTREL_EXE=" VANTREL_TESTBIN, kind + "=" + std::to_string(n)}});
	};
	const toolrun whole = run("VANTREL_FAILALLOC", 0);
	const std::string clean = readfile(s / "out.sfv");
	int n = 1;
	for (toolrun r; (r = run("VANTREL_FAILALLOC", n)).out != whole.out; n++) {
		SCOPED_TRACE(n);
		if (r.status == 1) {
			EXPECT_TRUE(endswith(r.out, "Error: new_sfvitem: can't malloc\n" + readfail)) << r.out;
			EXPECT_EQ(entries(s.dir), std::set<std::string>{"in.sfv"});
			continue;
		}
		EXPECT_EQ(r.status, 0);
		const std::string &failed = r.out.find(seenfail) != std::string::npos ? seenfail : indexfail;
		EXPECT_GT(r.out.find(failed), r.out.find("Killing duplicating items...\n"));
		EXPECT_EQ(r.out.find(failed), r.out.rfind(failed));
		EXPECT_EQ(runtool({"out.sfv", "out.sfv"}, {s.dir}).status, 0);
		EXPECT_EQ(readfile(s / "out.sfv"), clean) << "more than a later duplicate survived";
	}
	EXPECT_EQ(n, 15 + 1 + 6 + 1) << "the sample's 15 items, the seen index, its 6 URLs, then a run with no failure";
	for (n = 1;; n++) {
		SCOPED_TRACE(n);
		toolrun r = run("VANTREL_FAILNEW", n);
		if (r.status == 0 && r.out == whole.out)
			break;
		EXPECT_TRUE((r.status == 1 && endswith(r.out, readfail)) || (r.status == 255 &&
		    (endswith(r.out, "ERROR: Out of memory!\n") || endswith(r.out, "ERROR: Can't write output file!\n")))) << r.out;
		EXPECT_EQ(entries(s.dir), std::set<std::string>{"in.sfv"});
	}
	EXPECT_GT(n, 10) << "too few allocations failed to reach every stage";
	EXPECT_EQ(readfile(s / "out.sfv"), clean);
	EXPECT_EQ(readfile(s / "in.sfv"), readfile(VANTREL_SAMPLE));
}

} // namespace
