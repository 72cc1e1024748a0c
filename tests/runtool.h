/*
 * Running the built tool as a user would, and the files around it.
 */
#ifndef RUNTOOL_H
#define RUNTOOL_H

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

struct toolrun {
	std::string out; /* everything printed on standard output */
	int status;      /* exit status, or -1 when the tool did not exit */
};

/*
 * The words that start the tool: those of VANTREL_RUNNER (a memory
 * checker or an emulator, say) and then VANTREL_EXE, or the binary
 * this build made.
 */
inline std::vector<std::string>
launcher()
{
	std::vector<std::string> words;
	std::istringstream runner(std::getenv("VANTREL_RUNNER") ? std::getenv("VANTREL_RUNNER") : "");
	for (std::string w; runner >> w;)
		words.push_back(w);
	words.push_back(std::getenv("VANTREL_EXE") ? std::getenv("VANTREL_EXE") : VANTREL_BIN);
	return words;
}

/* Tells whether the tool runs under another program, which sets argv[0] itself. */
inline bool
underrunner()
{
	return launcher().size() > 1;
}

/*
 * Tells whether the tool is a Windows build (VANTREL_EXE names an .exe),
 * run under an emulator such as wine: its standard output ends lines
 * with CR LF, and Unix links and permission bits mean nothing to it.
 */
inline bool
windowstool()
{
	const char *exe = std::getenv("VANTREL_EXE");
	size_t n = exe != nullptr ? std::strlen(exe) : 0;
	return n > 4 && std::strcmp(exe + n - 4, ".exe") == 0;
}

/* The name the tool gives itself in messages: that of the file run under another program. */
inline std::string
toolname()
{
	if (!underrunner())
		return "Vantrel";
	std::string path = launcher().back();
	return path.substr(path.find_last_of("/\\") + 1);
}

/* Undoes a text stream's CR LF line ends: each CR LF back to the LF written. */
inline std::string
unixlines(const std::string &text)
{
	std::string out;
	for (size_t i = 0; i < text.size(); i++)
		if (text[i] != '\r' || i + 1 == text.size() || text[i + 1] != '\n')
			out += text[i];
	return out;
}

/*
 * Runs the tool with argv exactly as given (argv[0] included, unless
 * it runs under another program) in the folder cwd, or here when it is
 * empty, and collects its output with Unix line ends, or throws it
 * away when quiet. Run directly, the tool gets a small stack, so that
 * a walk that recursed on the nesting depth of a file would crash.
 */
inline toolrun
runargv(const std::vector<std::string> &argv, const std::string &cwd = "", bool quiet = false)
{
	int fds[2];
	if (pipe(fds) != 0)
		return {"pipe failed", -1};
	pid_t pid = fork();
	if (pid == 0) {
		std::vector<std::string> words = launcher();
		bool direct = words.size() == 1;
		if (direct)
			words = argv;
		else if (!argv.empty())
			words.insert(words.end(), argv.begin() + 1, argv.end());
		std::vector<char *> args;
		for (const std::string &w : words)
			args.push_back(const_cast<char *>(w.c_str()));
		args.push_back(nullptr);
		struct rlimit stack = {512 * 1024, 512 * 1024};
		if ((direct && setrlimit(RLIMIT_STACK, &stack) != 0) ||
		    (!cwd.empty() && chdir(cwd.c_str()) != 0))
			_exit(126);
		dup2(quiet ? open("/dev/null", O_WRONLY) : fds[1], 1);
		close(fds[0]);
		close(fds[1]);
		if (direct)
			execv(launcher()[0].c_str(), args.data());
		else
			execvp(args[0], args.data());
		_exit(127);
	}
	close(fds[1]);
	toolrun r{"", -1};
	char buf[65536];
	ssize_t n;
	while ((n = read(fds[0], buf, sizeof(buf))) > 0)
		r.out.append(buf, static_cast<size_t>(n));
	close(fds[0]);
	int ws;
	waitpid(pid, &ws, 0);
	if (WIFEXITED(ws))
		r.status = WEXITSTATUS(ws);
	if (windowstool())
		r.out = unixlines(r.out);
	return r;
}

/* Runs "Vantrel args..." in the folder cwd. */
inline toolrun
runtool(const std::vector<std::string> &args, const std::string &cwd = "", bool quiet = false)
{
	std::vector<std::string> argv{"Vantrel"};
	argv.insert(argv.end(), args.begin(), args.end());
	return runargv(argv, cwd, quiet);
}

inline std::string
readfile(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline void
writefile(const std::string &path, const std::string &bytes)
{
	std::ofstream(path, std::ios::binary) << bytes;
}

inline bool
exists(const std::string &path)
{
	struct stat st;
	return lstat(path.c_str(), &st) == 0;
}

/* A fresh empty folder for one test's files. */
inline std::string
scratchdir()
{
	char tmpl[] = "/tmp/vantrel-test-XXXXXX";
	return mkdtemp(tmpl);
}

inline void
removedir(const std::string &dir)
{
	std::string cmd = "rm -rf '" + dir + "'";
	if (std::system(cmd.c_str()) != 0)
		std::perror("rm");
}

/* The banner the tool prints, as this build prints it. */
inline std::string
banner()
{
	static std::string b = runtool({"-V"}).out;
	return b;
}

#endif
