// SPDX-License-Identifier: MIT
// Copyright (c) 2026 the Vantrel developers
/*
 * Fuzz target: any bytes at all as the source file of the tool's own
 * main, and the properties every run keeps. A file is refused, and
 * nothing written, or cleaned to a file that reads whole and that
 * cleaning again leaves byte for byte as it is; listing reads as
 * cleaning does. A broken property aborts.
 */
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

int vantrelmain(int argc, char **argv); /* the tool's main, renamed by the build */

static std::string in, out, again;

static void
require(bool holds, const char *what)
{
	if (!holds) {
		std::fprintf(stderr, "property broken: %s\n", what);
		std::abort();
	}
}

/*
 * Runs the tool's main as a fresh process would; returns what it
 * printed, and its status in *status. The signals it catches are the
 * fuzzer's again afterwards. The fuzzer's alarm, which any of its
 * threads may take, is ignored meanwhile, so that the tool does not
 * catch it and end the process.
 */
static std::string
run(std::vector<std::string> words, int *status)
{
	std::vector<char *> argv;
	char *buf = nullptr;
	size_t len = 0;
	struct sigaction fuzzer[NSIG];

	for (std::string &w : words)
		argv.push_back(&w[0]);
	argv.push_back(nullptr);
	for (int sig = 1; sig < NSIG; sig++)
		sigaction(sig, nullptr, &fuzzer[sig]);
	signal(SIGALRM, SIG_IGN);
	require((stdout = open_memstream(&buf, &len)) != nullptr, "standard output can be caught");
	*status = vantrelmain(int(words.size()), argv.data()) & 0xff; /* it closes stdout */
	for (int sig = 1; sig < NSIG; sig++)
		sigaction(sig, &fuzzer[sig], nullptr);
	std::string printed(buf, len);
	std::free(buf);
	return printed;
}

static std::string
readfile(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	return std::string(std::istreambuf_iterator<char>(f), {});
}

/* Makes the scratch folder, under TMPDIR, that the runs share. */
extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
	std::string dir = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/vantrelfuzz-XXXXXX";
	require(mkdtemp(&dir[0]) != nullptr, "a scratch folder can be made");
	in = dir + "/in.sfv", out = dir + "/out.sfv", again = dir + "/again.sfv";
	return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	int status, listed, twice;
	std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char *>(data), std::streamsize(size));
	unlink(out.c_str());
	run({"Vantrel", "-iv", "--", in, out}, &status);
	run({"Vantrel", "-il", "--", in}, &listed);
	require((status == 0 || status == 1) && listed == status, "a run ends cleaned or refused, and listing as cleaning");
	require(status == 0 || access(out.c_str(), F_OK) != 0, "a refused file writes nothing");
	if (status == 0) {
		std::string printed = run({"Vantrel", "--", out, again}, &twice);
		require(twice == 0 && printed.find("\nDeleted 0 items.\n") != std::string::npos,
		    "a cleaned file reads whole and holds no duplicate");
		require(readfile(out) == readfile(again), "cleaning a cleaned file changes no byte");
	}
	return 0;
}
