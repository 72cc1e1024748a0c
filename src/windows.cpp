// SPDX-License-Identifier: MIT
// Copyright (c) 2026 the Vantrel developers
/*
 * The platform layer on Windows: the arguments and the standard
 * descriptors, the source file, the console's stop events, and the
 * calls that put a new file in the place of the destination.
 *
 * Names are UTF-8 inside the run and wide strings at every call to the
 * system. A folder is held by its path: Windows has no calls relative
 * to a folder's handle, and a file open there can't be renamed or
 * removed under the run. There are no unnamed files: the new file is
 * named from the start, and the console's stop events remove it.
 */
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#include <shellapi.h>

#include "platform.h"

/*
 * The name of a file for the system's wide calls. A name whose full
 * path would reach MAX_PATH gets the prefix that lifts that limit, and
 * so is given whole; a device such as NUL keeps its own form.
 */
static std::wstring
widename(const std::string &name)
{
	int n = MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, nullptr, 0);
	std::wstring w(n > 0 ? n - 1 : 0, L'\0');

	MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, &w[0], n);
	if (w.compare(0, 4, L"\\\\?\\") == 0)
		return w;
	std::wstring full(GetFullPathNameW(w.c_str(), 0, nullptr, nullptr), L'\0');
	full.resize(GetFullPathNameW(w.c_str(), DWORD(full.size()), &full[0], nullptr));
	if (full.size() < MAX_PATH - 12)
		return w;
	if (full.size() > 2 && full[1] == L':' && full[2] == L'\\')
		return L"\\\\?\\" + full;
	if (full.compare(0, 2, L"\\\\") == 0 && full.compare(0, 4, L"\\\\.\\") != 0)
		return L"\\\\?\\UNC\\" + full.substr(2);
	return w;
}

/* The wide name of the file name in the folder of p. */
static std::wstring
widename(const place &p, const std::string &name)
{
	return widename(p.folder + name);
}

/* A wide string in the code page given. */
static std::string
narrow(const wchar_t *w, UINT codepage)
{
	int n = WideCharToMultiByte(codepage, 0, w, -1, nullptr, 0, nullptr, nullptr);
	std::string s(n > 0 ? n - 1 : 0, '\0');

	WideCharToMultiByte(codepage, 0, w, -1, &s[0], n, nullptr, nullptr);
	return s;
}

/* Sets errno from the system's last error, for the callers that read it. */
static void
seterrno(void)
{
	switch (GetLastError()) {
	case ERROR_FILE_EXISTS:
	case ERROR_ALREADY_EXISTS:
		errno = EEXIST;
		break;
	case ERROR_ACCESS_DENIED:
		errno = EACCES;
		break;
	case ERROR_DISK_FULL:
	case ERROR_HANDLE_DISK_FULL:
		errno = ENOSPC;
		break;
	default:
		errno = EIO;
		break;
	}
}

/*
 * Takes the arguments as the system holds them, in wide characters:
 * the file names in UTF-8, and argv[0], which serves only for messages,
 * in the console's code page. They live for the whole run.
 */
void
takeargs(int *argc, char ***argv)
{
	static std::vector<std::string> words;
	static std::vector<char *> ptrs;
	int n;
	wchar_t **w = CommandLineToArgvW(GetCommandLineW(), &n);
	UINT console = GetConsoleOutputCP() != 0 ? GetConsoleOutputCP() : GetACP();

	if (w == nullptr)
		return;
	for (int i = 0; i < n; i++)
		words.push_back(narrow(w[i], i == 0 ? console : CP_UTF8));
	LocalFree(w);
	for (std::string &s : words)
		ptrs.push_back(&s[0]);
	ptrs.push_back(nullptr);
	*argc = n;
	*argv = ptrs.data();
}

/*
 * Opens NUL on each standard descriptor that has no handle, so that no
 * file the run opens can take its place; standard output for reading
 * only, so that its failed writes end the run as one whose output
 * failed. Returns false when one can't be held.
 */
bool
guardstdfds(void)
{
	for (int fd = 0; fd <= 2; fd++) {
		if (_get_osfhandle(fd) >= 0)
			continue;
		int nul = _open("NUL", fd == 1 ? _O_RDONLY : _O_RDWR);
		if (nul < 0)
			return false;
		if (nul != fd) {
			_dup2(nul, fd);
			_close(nul);
		}
	}
	return true;
}

FILE *
openinput(const std::string &name)
{
	return _wfopen(widename(name).c_str(), L"rb");
}

/* The console's stop events, as signals are on Unix: Ctrl-C, Ctrl-Break, a closed window. */
static CRITICAL_SECTION stopping;
static const place *volatile stopplace;
static const char *volatile stopname;

/* Removes the new file, then lets the system end the run as it would have. */
static BOOL WINAPI
onstop(DWORD)
{
	EnterCriticalSection(&stopping);
	if (stopname != nullptr)
		DeleteFileW(widename(*stopplace, stopname).c_str());
	return FALSE;
}

void
catchstops(void)
{
	InitializeCriticalSection(&stopping);
	SetConsoleCtrlHandler(onstop, TRUE);
}

/* Holds the stop handler off while the new file changes name. */
void
holdstops(void)
{
	EnterCriticalSection(&stopping);
}

void
releasestops(void)
{
	LeaveCriticalSection(&stopping);
}

void
removeonstop(const place *p, const char *name)
{
	stopplace = p;
	stopname = name;
}

/* A handle on the file, folder or device w names, for asking about it, not for reading. */
static HANDLE
openexisting(const std::wstring &w)
{
	return CreateFileW(w.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
	    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

/* What the file path names is, a symbolic link followed: a device such as NUL is DEST_OTHER. */
static destkind
kindof(const std::string &path)
{
	HANDLE h = openexisting(widename(path));
	BY_HANDLE_FILE_INFORMATION info;
	destkind kind = DEST_OTHER;

	if (h == INVALID_HANDLE_VALUE) {
		DWORD err = GetLastError();
		seterrno();
		return err == ERROR_FILE_NOT_FOUND ? DEST_NEW : DEST_FAILED;
	}
	if (GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) &&
	    !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
		kind = DEST_FILE;
	CloseHandle(h);
	return kind;
}

/* The file a destination name stands for: a symbolic link's target. */
static std::string
resolvelink(const std::string &name)
{
	std::wstring w = widename(name);
	DWORD attrs = GetFileAttributesW(w.c_str());

	if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_REPARSE_POINT))
		return name;
	HANDLE h = openexisting(w);
	if (h == INVALID_HANDLE_VALUE)
		return name;
	DWORD n = GetFinalPathNameByHandleW(h, nullptr, 0, FILE_NAME_NORMALIZED);
	std::wstring target(n, L'\0');
	n = n > 0 ? GetFinalPathNameByHandleW(h, &target[0], n, FILE_NAME_NORMALIZED) : 0;
	CloseHandle(h);
	if (n == 0 || n >= target.size())
		return name;
	target.resize(n);
	return narrow(target.c_str(), CP_UTF8);
}

/* Finds the file a destination name stands for, its folder's path and its name there. */
destkind
finddest(const std::string &name, place *p, struct stat *st)
{
	std::string path = resolvelink(name);
	size_t sep = path.find_last_of("\\/:");

	*st = {};
	p->folder = sep == std::string::npos ? "" : path.substr(0, sep + 1);
	p->name = path.substr(p->folder.size());
	return kindof(path);
}

/* A read-only attribute is the one permission a Windows file has. */
bool
writable(const place &p)
{
	DWORD attrs = GetFileAttributesW(widename(p, p.name).c_str());

	return attrs != INVALID_FILE_ATTRIBUTES && !(attrs & FILE_ATTRIBUTE_READONLY);
}

bool
appendonly(const place &)
{
	return false;
}

/* The longest name a folder takes: 255 UTF-16 units, never more bytes of UTF-8. */
size_t
namemax(const place &)
{
	return 255;
}

void
closeplace(place *)
{
}

/* Windows can name no file without making it: an unnamed file is never had. */
int
createunnamed(const place &, int)
{
	errno = EOPNOTSUPP;
	return -1;
}

bool
nameunnamed(int, const place &, const char *)
{
	errno = EOPNOTSUPP;
	return false;
}

/* Makes a new file of this name in the folder, for writing; errno EEXIST when the name is taken. */
int
createnew(const place &p, const char *name, int)
{
	HANDLE h = CreateFileW(widename(p, name).c_str(), GENERIC_WRITE, FILE_SHARE_READ |
	    FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);

	if (h == INVALID_HANDLE_VALUE) {
		seterrno();
		return -1;
	}
	int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
	if (fd < 0)
		CloseHandle(h);
	return fd;
}

/* Opens the destination itself for writing: a device as it is, a file emptied or made. */
int
openstraight(place *p, destkind kind)
{
	int flags = _O_WRONLY | _O_BINARY | (kind == DEST_OTHER ? 0 : _O_CREAT | _O_TRUNC);

	return _wopen(widename(*p, p->name).c_str(), flags, _S_IREAD | _S_IWRITE);
}

bool
keepattrs(int, const place &, const struct stat *)
{
	return true;
}

long
writesome(int fd, const void *buf, size_t n)
{
	return _write(fd, buf, n < 0x40000000 ? unsigned(n) : 0x40000000u);
}

bool
syncfile(int fd)
{
	return _commit(fd) == 0;
}

/* A rename never replaces a file on Windows; this call does, on disk before it returns. */
bool
replacefile(const place &p, const char *temp)
{
	return MoveFileExW(widename(p, temp).c_str(), widename(p, p.name).c_str(),
	    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void
removefile(const place &p, const char *name)
{
	DeleteFileW(widename(p, name).c_str());
}

/* The replacing move wrote the folder through; nothing is left to flush. */
bool
syncfolder(const place &, int)
{
	return true;
}

bool
closefile(int fd)
{
	return _close(fd) == 0;
}
#endif
