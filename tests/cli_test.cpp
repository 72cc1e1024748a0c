/*
 * The built tool run end to end: its exact standard output, its exit
 * status and the bytes of the file it writes.
 */
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <set>

#include <dirent.h>

#include "runtool.h"
#include "sfvbuilder.h"

namespace {

const std::string usage =
    "Usage: " + toolname() + " [options] srcfile [dstfile]\n"
    "Options\n"
    " -i: Print items - before,after\n"
    " -n: Don't kill - useful for counting items(with -i),don't output.\n"
    " -l: Listup - for DEBUG and ...(Automatically switch on -n)\n"
    " -v: Verbose - show killed items\n"
    " -V: Show version.";

const std::string reading =
    "Reading LINKS...Done\n"
    "Reading Favorite...Done\n"
    "Linking tree LINKS->Favorite...Done\n";

const std::string exporting =
    "Unlinking tree LINKS->Favorite...Done\n"
    "Exporting!\n"
    "Writing SFV Header...Done\n"
    "Exporting LINKS...Done\n"
    "Exporting Favorite...Done\n"
    "Export was completed!\n"
    "Freeing LINKS...Done\n"
    "Freeing Favorite...Done\n";

const std::string unlinkfree =
    "Unlinking tree LINKS->Favorite...Done\n"
    "Freeing LINKS...Done\n"
    "Freeing Favorite...Done\n";

const std::string closing = "File close...OK\n";

const std::string cantopen = toolname() + ": Can't open input file\n";

/* The sample the repository ships: folders, Japanese titles, duplicates across both trees. */
std::string
samplefile()
{
	const std::string news = "\x83\x6a\x83\x85\x81\x5b\x83\x58";
	const std::string weather = "\x93\x56\x8b\x43\x97\x5c\x95\xf1";
	const std::string maps = "\x92\x6e\x90\x7d";
	const std::string search = "\x8c\x9f\x8d\xf5";
	const std::string dictionary = "\x8e\xab\x8f\x91";
	const std::string shopping = "\x94\x83\x82\xa2\x95\xa8";
	return sfvfile(
	    root("LINKS", {url(search, "http://search.example.jp/"),
		url(news, "http://news.example.jp/")}),
	    root("Favorite", {
		folder(news, {url(news, "http://news.example.jp/"),
		    url(weather, "http://weather.example.jp/"),
		    url(weather + " 2", "http://weather.example.jp/")}, 3),
		folder("\x83\x8a\x83\x93\x83\x4e\x8f\x57", {
		    url(dictionary, "http://dict.example.jp/"),
		    url(maps, "http://maps.example.jp/"),
		    folder(shopping, {url(shopping, "http://shop.example.jp/"),
			url(search, "http://search.example.jp/")}, 5)}),
		url(maps, "http://maps.example.jp/")}));
}

const std::string plain = sfvfile(
    root("LINKS", {url("a", "http://a/"), folder("f", {url("b", "http://b/")}, 4)}),
    root("Favorite", {url("c", "http://c/"), folder("empty", {})}));

const std::string twodups = sfvfile(
    root("LINKS", {url("a", "http://a/"), folder("f", {url("copy of a", "http://a/")})}),
    root("Favorite", {url("c", "http://c/"), url("c %s again", "http://c/")}));

const std::string twodupsclean = sfvfile(
    root("LINKS", {url("a", "http://a/"), folder("f", {})}),
    root("Favorite", {url("c", "http://c/")}));

/* A Favorite root that holds a child with type byte 7. */
const std::string badtype = sfvfile(root("LINKS", {}),
    roothead("Favorite", 1) + "\x07" + url("t", "u").substr(1));

struct e2ecase {
	const char *name;
	std::vector<std::string> args; /* IN and OUT stand for files in the scratch folder it runs in */
	std::optional<std::string> in;  /* what IN holds, if it exists */
	std::string printed;            /* BANNER stands for the banner */
	int status;
	std::optional<std::string> out; /* what OUT holds afterwards, if it exists */
};

/* Runs one case in a scratch folder and checks all it shows. */
void
check(const e2ecase &c)
{
	SCOPED_TRACE(c.name);
	std::string dir = scratchdir();
	std::vector<std::string> args;
	for (const std::string &a : c.args)
		args.push_back(a == "IN" ? "in.sfv" : a == "OUT" ? "out.sfv" : a);
	if (c.in)
		writefile(dir + "/in.sfv", *c.in);
	toolrun r = runtool(args, dir);
	std::string printed = c.printed;
	size_t at = printed.find("BANNER");
	if (at != std::string::npos)
		printed.replace(at, 6, banner());
	EXPECT_EQ(r.out, printed);
	EXPECT_EQ(r.status, c.status);
	EXPECT_EQ(exists(dir + "/out.sfv"), c.out.has_value());
	if (c.out) {
		EXPECT_EQ(readfile(dir + "/out.sfv"), *c.out);
	}
	if (c.in) {
		EXPECT_EQ(readfile(dir + "/in.sfv"), *c.in) << "the source changed";
	}
	removedir(dir);
}

TEST(cli, banner_has_the_build_date_and_time)
{
	EXPECT_TRUE(testing::internal::RE::FullMatch(banner(),
	    "Vantrel Ver\\.1\\.00 by Oskuvi\nBuilt at [A-Z][a-z][a-z] [ 1-3][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\n\n"))
	    << banner();
}

TEST(cli, parses_options_and_file_arguments)
{
	const e2ecase cases[] = {
		{"no arguments", {}, {}, usage, 0, {}},
		{"a source alone needs -n", {"IN"}, plain, usage, 0, {}},
		{"an empty argument is an empty name", {"", "OUT"}, {}, usage, 0, {}},
		{"-V stops before any file is looked at", {"-V", "missing", "OUT"}, {}, "BANNER", 0, {}},
		{"-V after an unknown letter", {"-Vx"}, {}, "Unknown argument: x\nBANNER", 0, {}},
		{"/V is -V", {"/V"}, {}, "BANNER", 0, {}},
		{"three files end the run at once", {"IN", "-V", "OUT", "third", "-x"}, plain,
		    "Too many file arguments!", 1, {}},
		{"unknown letters are reported and skipped", {"-vx", "-q"}, {},
		    "Unknown argument: x\nUnknown argument: q\n" + usage, 0, {}},
		{"--v reports the dash and keeps options open", {"--v", "-V"}, {},
		    "Unknown argument: -\nBANNER", 0, {}},
		{"--- reports two dashes", {"---"}, {}, "Unknown argument: -\nUnknown argument: -\n" + usage, 0, {}},
		{"- alone is nothing", {"-", "IN"}, plain, usage, 0, {}},
		{"-- makes -V a file name", {"--", "-V"}, {}, usage, 0, {}},
		{"/- makes -n a file name", {"/-", "-n", "OUT"}, {},
		    cantopen, 255, {}},
		{"options after the files", {"IN", "/in"}, plain,
		    "BANNER" + reading + "Counting items...Done\n7 items, 4 folder, 3 urls.\n" + unlinkfree, 0, {}},
		{"-l implies -n and ignores the destination", {"-l", "IN", "OUT"},
		    sfvfile(root("L", {}), root("F", {})),
		    "BANNER" + reading +
		    "Title:L\nComment:\nSetting:--------,0\nColor:\x83\x66\x83\x74\x83\x48\x83\x8b\x83\x67\n\n"
		    "Title:F\nComment:\nSetting:--------,0\nColor:\x83\x66\x83\x74\x83\x48\x83\x8b\x83\x67\n" + unlinkfree,
		    0, {}},
	};
	for (const e2ecase &c : cases)
		check(c);
}

TEST(cli, refuses_sources_that_are_not_whole_favourites_files)
{
	const std::string notsfv = "ERROR: It isn't SFV file!\n" + closing;
	const std::string version = "ERROR: only support SFV1.01...sorry.\n" + closing;
	const e2ecase cases[] = {
		{"missing source", {"IN", "OUT"}, {}, cantopen, 255, {}},
		{"empty source", {"IN", "OUT"}, "", notsfv, 1, {}},
		{"shorter than a header", {"IN", "OUT"}, header().substr(0, 12), version, 1, {}},
		{"wrong signature", {"IN", "OUT"}, "SFV-FORMAT\x1b" + plain.substr(11), notsfv, 1, {}},
		{"version 1.00", {"IN", "OUT"}, "SFV-FORMAT\x1a\x64" + plain.substr(12), version, 1, {}},
		{"version 101 big-endian", {"IN", "OUT"}, "SFV-FORMAT\x1a" + std::string("\0\x65", 2) + plain.substr(13), version, 1, {}},
		{"a type byte of 7 in Favorite", {"IN", "OUT"}, badtype,
		    "BANNERReading LINKS...Done\nReading Favorite...Error: readitemfromsfv: illegal type\n"
		    "ERROR: Can't read SFV file!\n" + closing, 1, {}},
		{"cut short inside LINKS", {"-i", "IN", "OUT"}, plain.substr(0, 40),
		    "BANNERReading LINKS...Error: readitemfromsfv: unexpected end of file\n"
		    "ERROR: Can't read SFV file!\n" + closing, 1, {}},
		{"a title longer than 1024 bytes", {"-l", "IN"}, sfvfile(root(std::string(1025, 't'), {}), root("F", {})),
		    "BANNERReading LINKS...Error: readitemfromsfv: illegal length\n"
		    "ERROR: Can't read SFV file!\n" + closing, 1, {}},
	};
	for (const e2ecase &c : cases)
		check(c);
}

TEST(cli, cleans_counts_and_writes)
{
	const e2ecase cases[] = {
		{"no duplicates: written back byte for byte", {"IN", "OUT"}, plain,
		    "BANNER" + reading + "Killing duplicating items...\nDeleted 0 items.\nFreeing stack...Done\nDone\n" + exporting,
		    0, plain},
		{"two removals named with -v", {"-v", "IN", "OUT"}, twodups,
		    "BANNER" + reading + "Killing duplicating items...\n"
		    "Dup.Deleted copy of a (http://a/)\nDup.Deleted c %s again (http://c/)\n"
		    "Deleted 2 items.\nFreeing stack...Done\nDone\n" + exporting,
		    0, twodupsclean},
		{"counts before and after", {"-i", "IN", "OUT"}, twodups,
		    "BANNER" + reading + "Counting items...Done\nKilling duplicating items...\n"
		    "Deleted 2 items.\nFreeing stack...Done\nDone\nCounting items...Done\n"
		    "\nBefore: 7 items, 3 folder, 4 urls.\nAfter: 5 items, 3 folder, 2 urls.\n\n" + exporting,
		    0, twodupsclean},
		{"-n counts once and writes nothing", {"-i", "-n", "IN", "OUT"}, twodups,
		    "BANNER" + reading + "Counting items...Done\n7 items, 3 folder, 4 urls.\n" + unlinkfree, 0, {}},
		{"-n alone", {"-n", "IN"}, twodups, "BANNER" + reading + unlinkfree, 0, {}},
		{"-i -l lists, then counts once", {"-il", "IN", "OUT"}, sfvfile(root("L", {}), root("F", {})),
		    "BANNER" + reading +
		    "Title:L\nComment:\nSetting:--------,0\nColor:\x83\x66\x83\x74\x83\x48\x83\x8b\x83\x67\n\n"
		    "Title:F\nComment:\nSetting:--------,0\nColor:\x83\x66\x83\x74\x83\x48\x83\x8b\x83\x67\n"
		    "Counting items...Done\n2 items, 2 folder, 0 urls.\n" + unlinkfree, 0, {}},
		{"line ends in texts are printed and written as they are", {"-v", "IN", "OUT"},
		    sfvfile(root("L", {url("a\n", "http://a/\r\n"), url("\r\n\r\r\nb\n", "http://a/\r\n")}), root("F", {})),
		    "BANNER" + reading + "Killing duplicating items...\n"
		    "Dup.Deleted \r\n\r\r\nb\n (http://a/\r\n)\nDeleted 1 items.\nFreeing stack...Done\nDone\n" + exporting,
		    0, sfvfile(root("L", {url("a\n", "http://a/\r\n")}), root("F", {}))},
		{"cleaning the cleaned file changes nothing", {"IN", "OUT"}, twodupsclean,
		    "BANNER" + reading + "Killing duplicating items...\nDeleted 0 items.\nFreeing stack...Done\nDone\n" + exporting,
		    0, twodupsclean},
	};
	for (const e2ecase &c : cases)
		check(c);
}

TEST(cli, names_itself_by_the_file_name_part_of_argv0)
{
	if (underrunner())
		GTEST_SKIP() << "the program the tool runs under sets argv[0]";
	struct {
		std::vector<std::string> argv;
		std::string printed;
	} cases[] = {
		{{"/usr/local/bin/Vantrel", "missing", "out"}, "Vantrel: Can't open input file\n"},
		{{"C:\\Tools\\Vantrel.exe", "missing", "out"}, "Vantrel.exe: Can't open input file\n"},
		{{"", "missing", "out"}, "Vantrel: Can't open input file\n"},
		{{"dir/"}, usage},
		{{}, usage},
	};
	for (const auto &c : cases) {
		toolrun r = runargv(c.argv);
		EXPECT_EQ(r.out, c.printed);
	}
}

/* A scratch folder whose in.sfv holds two duplicates. */
std::string
sourcedir()
{
	std::string dir = scratchdir();
	writefile(dir + "/in.sfv", twodups);
	return dir;
}

const std::string failedwrite = "Exporting!\nWriting SFV Header...Done\nExporting LINKS...Done\n"
    "Exporting Favorite...Done\nERROR: Can't write output file!\n";

TEST(dest, cleans_in_place_when_both_names_are_the_same)
{
	std::string dir = sourcedir(), in = "in.sfv";
	toolrun r = runtool({in, in}, dir);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(readfile(dir + "/in.sfv"), twodupsclean);
	EXPECT_EQ(system(("ls -A " + dir + " | grep -qv in.sfv").c_str()) != 0, true) << "a temporary file was left";
	removedir(dir);
}

TEST(dest, refuses_a_damaged_source_without_touching_the_destination)
{
	std::string dir = sourcedir(), in = "in.sfv";
	writefile(dir + "/in.sfv", badtype);
	toolrun r = runtool({in, in}, dir);
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(readfile(dir + "/in.sfv"), badtype);
	removedir(dir);
}

TEST(dest, keeps_permission_bits_and_symbolic_links)
{
	if (windowstool())
		GTEST_SKIP() << "a Windows file has no permission bits, and wine shows a Unix link as a plain file";
	std::string dir = sourcedir(), in = "in.sfv";
	std::string target = dir + "/target.sfv", link = dir + "/link.sfv";
	writefile(target, "old");
	ASSERT_EQ(chmod(target.c_str(), 0640), 0);
	ASSERT_EQ(symlink("target.sfv", link.c_str()), 0);
	EXPECT_EQ(runtool({in, "link.sfv"}, dir).status, 0);
	struct stat st;
	ASSERT_EQ(lstat(link.c_str(), &st), 0);
	EXPECT_TRUE(S_ISLNK(st.st_mode));
	ASSERT_EQ(stat(target.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0640u);
	EXPECT_EQ(readfile(target), twodupsclean);

	ASSERT_EQ(symlink("new.sfv", (dir + "/dangling.sfv").c_str()), 0);
	EXPECT_EQ(runtool({in, "dangling.sfv"}, dir).status, 0);
	ASSERT_EQ(lstat((dir + "/dangling.sfv").c_str(), &st), 0);
	EXPECT_TRUE(S_ISLNK(st.st_mode)) << "a link to a file yet to be made was replaced";
	EXPECT_EQ(readfile(dir + "/new.sfv"), twodupsclean);
	removedir(dir);
}

TEST(dest, reports_a_destination_that_cannot_be_written)
{
	std::string dir = sourcedir(), in = "in.sfv";
	toolrun r = runtool({in, "missing/out.sfv"}, dir);
	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(r.out.substr(r.out.find("Exporting!")), "Exporting!\nERROR: Can't open output file!\n");

	r = runtool({in, "--", "/dev/full"}, dir);
	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(r.out.substr(r.out.find("Exporting!")), failedwrite);

	r = runtool({in, "--", "/dev/null"}, dir);
	EXPECT_EQ(r.status, 0);
	if (windowstool()) {
		r = runtool({in, "NUL"}, dir);
		EXPECT_EQ(r.status, 0) << r.out;
		EXPECT_FALSE(exists(dir + "/NUL"));
	}
	removedir(dir);
}

TEST(dest, leaves_a_read_only_destination_alone)
{
	if (geteuid() == 0 && !windowstool())
		GTEST_SKIP() << "root may write any file";
	std::string dir = sourcedir(), in = "in.sfv";
	std::string out = dir + "/ro.sfv";
	writefile(out, "keep");
	ASSERT_EQ(chmod(out.c_str(), 0444), 0);
	toolrun r = runtool({in, "ro.sfv"}, dir);
	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(r.out.substr(r.out.find("Exporting!")), "Exporting!\nERROR: Can't open output file!\n");
	EXPECT_EQ(readfile(out), "keep");
	removedir(dir);
}

TEST(dest, takes_file_names_of_any_length)
{
	std::string dir = sourcedir(), in = "in.sfv";
	std::string deep = ".";
	for (int i = 0; i < 4; i++) {
		deep += "/" + std::string(100, 'd');
		ASSERT_EQ(mkdir((dir + "/" + deep).c_str(), 0755), 0);
	}
	std::string longin = deep + "/in.sfv", longout = deep + "/" + std::string(200, 'o');
	writefile(dir + "/" + longin, twodups);
	toolrun r = runtool({longin, longout}, dir);
	EXPECT_EQ(r.status, 0) << r.out;
	EXPECT_EQ(readfile(dir + "/" + longout), twodupsclean);
	EXPECT_EQ(system(("test $(ls -A " + dir + "/" + deep + " | wc -l) -eq 2").c_str()), 0)
	    << "a temporary file was left";
	removedir(dir);
}

/* A Unix name as a Windows program under wine sees it: on drive Z:, with backslashes. */
std::string
zdrive(std::string path)
{
	for (char &c : path)
		if (c == '/')
			c = '\\';
	return "Z:" + path;
}

TEST(dest, takes_absolute_windows_names)
{
	if (!windowstool())
		GTEST_SKIP() << "drive letters name files only on Windows";
	std::string dir = sourcedir();
	const char *prefix = std::getenv("WINEPREFIX");
	std::string ctmpl = (prefix != nullptr ? std::string(prefix) : std::string(std::getenv("HOME")) + "/.wine") +
	    "/drive_c/vantrel-test-XXXXXX";
	ASSERT_NE(mkdtemp(&ctmpl[0]), nullptr) << ctmpl;
	std::string cdir = ctmpl, cname = "C:\\" + cdir.substr(cdir.rfind('/') + 1) + "\\";
	struct {
		const char *name;
		std::string src, srcname; /* the file on this machine and the tool's name for it */
		std::string dst, dstname;
	} cases[] = {
		{"Z: source, relative destination", dir + "/a.sfv", zdrive(dir + "/a.sfv"), dir + "/out.sfv", "out.sfv"},
		{"Z: both, in place", dir + "/b.sfv", zdrive(dir + "/b.sfv"), dir + "/b.sfv", zdrive(dir + "/b.sfv")},
		{"forward slashes after the drive", dir + "/c.sfv", "Z:" + dir + "/c.sfv", dir + "/c2.sfv", "Z:" + dir + "/c2.sfv"},
		{"C: in place", cdir + "/in.sfv", cname + "in.sfv", cdir + "/in.sfv", cname + "in.sfv"},
		{"C: source, Z: destination", cdir + "/d.sfv", cname + "d.sfv", dir + "/d.sfv", zdrive(dir + "/d.sfv")},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		writefile(c.src, twodups);
		toolrun r = runtool({c.srcname, c.dstname}, dir);
		EXPECT_EQ(r.status, 0) << r.out;
		EXPECT_EQ(readfile(c.dst), twodupsclean);
	}
	EXPECT_EQ(system(("test -z \"$(find " + dir + " " + cdir + " -name '*.sfv.*')\"").c_str()), 0)
	    << "a temporary file was left";
	removedir(cdir);
	removedir(dir);
}

TEST(dest, cleans_a_file_nested_200000_deep)
{
	std::string dir = sourcedir(), in = "in.sfv";
	writefile(dir + "/in.sfv", deepfile(200000));
	toolrun r = runtool({"-i", in, "out.sfv"}, dir);
	EXPECT_EQ(r.status, 0);
	EXPECT_NE(r.out.find("Before: 200004 items, 200002 folder, 2 urls.\nAfter: 200003 items, 200002 folder, 1 urls.\n"),
	    std::string::npos) << r.out.substr(0, 1000);
	removedir(dir);
}

TEST(dest, lists_a_file_nested_30000_deep)
{
	if (windowstool())
		GTEST_SKIP() << "its 2 GB listing takes many minutes under wine";
	std::string dir = sourcedir(), in = "in.sfv";
	writefile(dir + "/in.sfv", deepfile(30000)); /* its listing is 2 GB of indentation */
	EXPECT_EQ(runtool({"-l", in}, dir, true).status, 0);
	removedir(dir);
}

/*
 * Runs, in the folder cwd, the build of the tool whose n-th allocation
 * of an item, a seen-list entry or the seen index fails (or, with
 * VANTREL_FAILNEW as which, the n-th of the standard library); none
 * fails when n is 0.
 */
toolrun
runfailing(const std::vector<std::string> &args, const std::string &cwd, int n,
    const char *which = "VANTREL_FAILALLOC")
{
	const char *exe = std::getenv("VANTREL_EXE");
	const bool hadexe = exe != nullptr;
	const std::string saved = hadexe ? exe : "";
	setenv("VANTREL_EXE", VANTREL_FAILBIN, 1);
	setenv(which, std::to_string(n).c_str(), 1);
	toolrun r = runtool(args, cwd);
	unsetenv(which);
	if (hadexe)
		setenv("VANTREL_EXE", saved.c_str(), 1);
	else
		unsetenv("VANTREL_EXE");
	return r;
}

/* The names in a folder, so that a file left behind shows. */
std::set<std::string>
entries(const std::string &dir)
{
	std::set<std::string> names;
	DIR *d = opendir(dir.c_str());
	for (struct dirent *e; d != nullptr && (e = readdir(d)) != nullptr;)
		if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
			names.insert(e->d_name);
	if (d != nullptr)
		closedir(d);
	return names;
}

const std::string readfail = "Error: new_sfvitem: can't malloc\n"
    "Error: readitemfromsfv: can't new sfvitem\n"
    "ERROR: Can't read SFV file!\n" + closing;

const std::string seenfail = "Error: new_sfvitemmini: can't malloc\n"
    "Error: addstack: new_sfvitemmini failed\n";

const std::string indexfail = "Error: growindex: can't malloc\n"
    "Error: addstack: growindex failed\n";

/*
 * twodups holds 7 items and 2 distinct URLs: allocations 1 to 4 are the
 * items of LINKS, 5 to 7 those of Favorite, 8 the seen index (made for
 * the first URL, and made again for the next when that fails), 9 and
 * on the seen list.
 */
TEST(failalloc, refuses_the_file_or_keeps_a_later_duplicate)
{
	const std::string links = "Reading LINKS...";
	const std::string favorite = "Reading LINKS...Done\nReading Favorite...";
	const std::string killing = reading + "Killing duplicating items...\n";
	const std::string onegone = "Deleted 1 items.\nFreeing stack...Done\nDone\n" + exporting;
	const std::string a = url("a", "http://a/"), c = url("c", "http://c/");
	const std::string acopy = url("copy of a", "http://a/"), cagain = url("c %s again", "http://c/");
	const struct {
		int n;
		std::string printed; /* after the banner */
		int status;
		std::optional<std::string> out;
	} cases[] = {
		{1, links + readfail, 1, {}},
		{2, links + readfail, 1, {}},
		{3, links + readfail, 1, {}},
		{4, links + readfail, 1, {}},
		{5, favorite + readfail, 1, {}},
		{6, favorite + readfail, 1, {}},
		{7, favorite + readfail, 1, {}},
		{8, killing + indexfail + "Dup.Deleted c %s again (http://c/)\n" + onegone, 0,
		    sfvfile(root("LINKS", {a, folder("f", {acopy})}), root("Favorite", {c}))},
		{9, killing + seenfail + "Dup.Deleted c %s again (http://c/)\n" + onegone, 0,
		    sfvfile(root("LINKS", {a, folder("f", {acopy})}), root("Favorite", {c}))},
		{10, killing + "Dup.Deleted copy of a (http://a/)\n" + seenfail + onegone, 0,
		    sfvfile(root("LINKS", {a, folder("f", {})}), root("Favorite", {c, cagain}))},
		{11, killing + "Dup.Deleted copy of a (http://a/)\nDup.Deleted c %s again (http://c/)\n"
		    "Deleted 2 items.\nFreeing stack...Done\nDone\n" + exporting, 0, twodupsclean},
	};
	const std::string banner = runfailing({"-V"}, "", 0).out;
	for (const auto &row : cases) {
		SCOPED_TRACE(row.n);
		std::string dir = sourcedir();
		toolrun r = runfailing({"-v", "in.sfv", "out.sfv"}, dir, row.n);
		EXPECT_EQ(r.out, banner + row.printed);
		EXPECT_EQ(r.status, row.status);
		std::set<std::string> left{"in.sfv"};
		if (row.out) {
			left.insert("out.sfv");
			EXPECT_EQ(readfile(dir + "/out.sfv"), *row.out);
		}
		EXPECT_EQ(entries(dir), left) << "a partial or temporary file was left";
		EXPECT_EQ(readfile(dir + "/in.sfv"), twodups);
		removedir(dir);
	}
}

TEST(failalloc, survives_every_failed_allocation_of_a_cleaning_run)
{
	std::string dir = scratchdir();
	writefile(dir + "/in.sfv", samplefile());
	const toolrun whole = runfailing({"in.sfv", "out.sfv"}, dir, 0);
	ASSERT_EQ(whole.status, 0);
	const std::string cleaned = readfile(dir + "/out.sfv");
	const std::string banner = runfailing({"-V"}, "", 0).out;
	int n = 1;
	for (;; n++) {
		SCOPED_TRACE(n);
		unlink((dir + "/out.sfv").c_str());
		toolrun r = runfailing({"in.sfv", "out.sfv"}, dir, n);
		if (r.out.find("can't malloc") == std::string::npos) {
			EXPECT_EQ(r.out, whole.out);
			EXPECT_EQ(readfile(dir + "/out.sfv"), cleaned);
			break;
		}
		if (r.status == 1) {
			EXPECT_TRUE(r.out == banner + "Reading LINKS..." + readfail ||
			    r.out == banner + "Reading LINKS...Done\nReading Favorite..." + readfail) << r.out;
			EXPECT_EQ(entries(dir), std::set<std::string>{"in.sfv"});
			continue;
		}
		ASSERT_EQ(r.status, 0) << r.out;
		const std::string &failed = r.out.find(indexfail) != std::string::npos ? indexfail : seenfail;
		size_t at = r.out.find(failed);
		EXPECT_NE(r.out.find("Killing duplicating items...\n"), std::string::npos);
		EXPECT_GT(at, r.out.find("Killing duplicating items...\n"));
		EXPECT_EQ(r.out.find(failed, at + 1), std::string::npos);
		EXPECT_EQ(r.out.substr(r.out.size() - exporting.size()), exporting);
		EXPECT_EQ(entries(dir), (std::set<std::string>{"in.sfv", "out.sfv"}));
		EXPECT_EQ(runtool({"out.sfv", "again.sfv"}, dir).status, 0);
		EXPECT_EQ(readfile(dir + "/again.sfv"), cleaned) << "more than a later duplicate survived";
		unlink((dir + "/again.sfv").c_str());
	}
	EXPECT_EQ(n, 15 + 1 + 6 + 1) << "15 items, the seen index, 6 distinct URLs, then a run that meets no failure";
	EXPECT_EQ(readfile(dir + "/in.sfv"), samplefile());
	removedir(dir);
}

/*
 * Wherever the standard library runs out of memory, the run ends with a
 * message and a failing status, gives back all it holds (the memcheck
 * suites check that) and leaves no partial or temporary file.
 */
TEST(failalloc, ends_soundly_wherever_the_library_runs_out_of_memory)
{
	const std::string outofmemory = "ERROR: Out of memory!\n";
	const std::string readnomem = "Error: readitemfromsfv: can't new sfvitem\n"
	    "ERROR: Can't read SFV file!\n" + closing;
	const std::string writefail = "ERROR: Can't write output file!\n";
	std::string dir = scratchdir();
	writefile(dir + "/in.sfv", samplefile());
	const toolrun whole = runfailing({"-i", "in.sfv", "out.sfv"}, dir, 0, "VANTREL_FAILNEW");
	int n = 1;
	for (;; n++) {
		SCOPED_TRACE(n);
		unlink((dir + "/out.sfv").c_str());
		toolrun r = runfailing({"-i", "in.sfv", "out.sfv"}, dir, n, "VANTREL_FAILNEW");
		if (r.status == 0) {
			EXPECT_EQ(r.out, whole.out);
			break;
		}
		auto endswith = [&r](const std::string &s) {
			return r.out.size() >= s.size() && r.out.compare(r.out.size() - s.size(), s.size(), s) == 0;
		};
		EXPECT_TRUE((r.status == 1 && endswith(readnomem)) ||
		    (r.status == 255 && (endswith(outofmemory) || endswith(writefail)))) << r.out;
		EXPECT_EQ(entries(dir), std::set<std::string>{"in.sfv"});
	}
	EXPECT_GT(n, 5) << "too few allocations failed to reach every stage";
	removedir(dir);
}

TEST(sample, is_the_one_the_builder_makes)
{
	if (std::getenv("VANTREL_WRITE_SAMPLE") != nullptr)
		writefile(VANTREL_SAMPLE, samplefile());
	EXPECT_EQ(readfile(VANTREL_SAMPLE), samplefile());
}

} // namespace
