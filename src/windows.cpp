// SPDX-License-Identifier: MIT
// Copyright (c) 2026 the Vantrel developers
/*
 * The platform layer on Windows: the arguments and the standard
 * descriptors, the console's stop events, the source file, and the
 * output, which puts a new file in the place of the destination.
 *
 * Names are held inside the run in WTF-8, the form of UTF-8 that holds
 * any string of UTF-16 units, a lone surrogate too, and reach the
 * system as the very units the arguments held, through its wide calls.
 * A folder is held by its path: Windows has no calls relative
 * to a folder's handle, and a file open there can't be renamed or
 * removed under the run. There are no unnamed files: the new file is
 * named from the start, but marked for deletion (its disposition) until
 * the moment it is put in place, so that a run ended by any means,
 * TerminateProcess too, leaves nothing. A file that is replaced is
 * replaced by the system's own call, ReplaceFileW, which carries the
 * former file's attributes, access list and streams onto the new one.
 * Only two destinations are written straight: a device such as NUL,
 * and a file in a folder that refuses a new file for permission.
 */
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#include <aclapi.h>
#include <shellapi.h>

#include "platform.h"

/* The longest name a folder takes: 255 UTF-16 units, never more bytes of WTF-8. */
#define NAMEMAX 255

/* What a destination name stands for, a symbolic link followed. */
enum destkind {
	DEST_FAILED, /* nothing that can be written: errno tells why */
	DEST_NEW,    /* no file yet: one is to be made */
	DEST_FILE,   /* a regular file, to be replaced */
	DEST_DEVICE  /* a device such as NUL, to be written straight */
};

/* How an output is written, chosen once when it opens. */
enum way {
	WAY_DEVICE,   /* a device, written as it is */
	WAY_STRAIGHT, /* a new file, made where no new file can be made beside it */
	WAY_OVERWRITE, /* the file itself, its new content held in memory and written over it at the commit */
	WAY_MOVENEW,  /* a file made under a temporary name, moved to the new destination's name */
	WAY_REPLACE   /* a file made under a temporary name, put over the destination by ReplaceFileW */
};

/*
 * A destination being written. The whole names are made when it opens,
 * so that nothing need be allocated once the new file exists.
 */
struct windowsoutput {
	way how = WAY_DEVICE;
	std::string folder; /* the destination's folder: empty, or ending in a separator */
	std::string temp;   /* the new file's temporary name there */
	std::wstring wdest; /* the destination's whole name, for the system's calls */
	std::wstring wtemp; /* the new file's */
	std::wstring wbackup; /* the former file's while ReplaceFileW replaces it */
	int fd = -1;        /* the file written */
	std::string held;   /* WAY_OVERWRITE: the bytes written, until the commit */
	bool named = false; /* the new file bears temp, its mark cleared, and loses it unless put in place */
};

/*
 * Appends the character c to s in WTF-8: as UTF-8 does, and a lone
 * surrogate as the three bytes its value would have.
 */
static void
putwtf8(std::string *s, uint32_t c)
{
	int n = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3; /* the bytes after the first */

	s->push_back(char(n == 0 ? c : ((0xff80 >> n) & 0xff) | c >> 6 * n));
	while (n-- > 0)
		s->push_back(char(0x80 | (c >> 6 * n & 0x3f)));
}

/* A string of UTF-16 units in WTF-8, which widename() gives back whole. */
static std::string
wtf8(const wchar_t *w)
{
	std::string s;

	for (; *w != L'\0'; w++) {
		uint32_t c = uint16_t(*w);
		if (c >= 0xd800 && c < 0xdc00 && w[1] >= 0xdc00 && w[1] < 0xe000)
			c = 0x10000 + ((c - 0xd800) << 10) + (uint16_t(*++w) - 0xdc00);
		putwtf8(&s, c);
	}
	return s;
}

/*
 * The UTF-16 units of a name in WTF-8, as wtf8() made it. False for
 * bytes that end inside a character: no name can come whole from them.
 */
static bool
units(const std::string &s, std::wstring *w)
{
	for (size_t i = 0; i < s.size();) {
		unsigned char b = s[i++];
		int n = b < 0xc0 ? 0 : b < 0xe0 ? 1 : b < 0xf0 ? 2 : 3; /* the bytes after the first */
		uint32_t c = n == 0 ? b : b & (0x3f >> n);
		if (s.size() - i < size_t(n))
			return false;
		while (n-- > 0)
			c = c << 6 | (s[i++] & 0x3f);
		if (c >= 0x10000) {
			w->push_back(wchar_t(0xd800 + ((c - 0x10000) >> 10)));
			c = 0xdc00 + (c & 0x3ff);
		}
		w->push_back(wchar_t(c));
	}
	return true;
}

/*
 * The name of a file for the system's wide calls. A name whose full
 * path would reach MAX_PATH gets the prefix that lifts that limit, and
 * so is given whole; a device such as NUL keeps its own form. A name
 * that can't be held whole is empty, which names no file.
 */
static std::wstring
widename(const std::string &name)
{
	std::wstring w;

	if (!units(name, &w))
		return L"";
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
 * The last part of the program's path, for messages, in the console's
 * code page. It is cut in wide characters: in a double-byte code page
 * such as 932 the second byte of a character (表, ソ) may be a
 * backslash.
 */
static std::string
programname(const wchar_t *path)
{
	const wchar_t *name = path;
	UINT console = GetConsoleOutputCP() != 0 ? GetConsoleOutputCP() : GetACP();

	for (const wchar_t *p = path; *p != L'\0'; p++)
		if (*p == L'\\' || *p == L'/')
			name = p + 1;
	return narrow(name, console);
}

/*
 * Takes the arguments as the system holds them, in wide characters:
 * the file names in WTF-8, and argv[0], which serves only for messages,
 * as the program's name alone. They live for the whole run.
 */
static void
takeargs(int *argc, char ***argv)
{
	static std::vector<std::string> words;
	static std::vector<char *> ptrs;
	int n;
	wchar_t **w = CommandLineToArgvW(GetCommandLineW(), &n);

	if (w == nullptr)
		return;
	for (int i = 0; i < n; i++)
		words.push_back(i == 0 ? programname(w[0]) : wtf8(w[i]));
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
static bool
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

/*
 * Standard output is a text stream, whose every "\n" becomes CR LF, the
 * messages' line ends as Windows has them; a text that holds a line end
 * is written in binary mode, as the bytes it holds.
 */
void
puttext(const char *text)
{
	if (std::strchr(text, '\n') == nullptr) {
		std::fputs(text, stdout);
		return;
	}
	std::fflush(stdout);
	_setmode(_fileno(stdout), _O_BINARY);
	std::fputs(text, stdout);
	std::fflush(stdout);
	_setmode(_fileno(stdout), _O_TEXT);
}

/*
 * The console's stop events, as signals are on Unix: Ctrl-C,
 * Ctrl-Break, a closed window. The system ends the run as it would
 * have, which removes a new file marked for deletion; but while the new
 * file is made, and from the moment its mark is cleared, they wait.
 */
static CRITICAL_SECTION stopping;
static bool holding; /* the main thread holds the stop events off now */

static BOOL WINAPI
onstop(DWORD)
{
	EnterCriticalSection(&stopping);
	return FALSE;
}

/*
 * Holds the stop handler off while the new file is made and marked,
 * and from the moment its mark is cleared. Holds do not nest: one
 * release lets it in.
 */
static void
holdstops(void)
{
	if (!holding)
		EnterCriticalSection(&stopping);
	holding = true;
}

static void
releasestops(void)
{
	if (holding)
		LeaveCriticalSection(&stopping);
	holding = false;
}

bool
startrun(int *argc, char ***argv)
{
	if (!guardstdfds())
		return false;
	takeargs(argc, argv);
	InitializeCriticalSection(&stopping);
	SetConsoleCtrlHandler(onstop, TRUE);
	return true;
}

/* A handle on the file, folder or device w names, for asking about it, not for reading. */
static HANDLE
openexisting(const std::wstring &w)
{
	return CreateFileW(w.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
	    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

/* What the file path names is, a symbolic link followed: a device such as NUL is DEST_DEVICE. */
static destkind
kindof(const std::string &path)
{
	HANDLE h = openexisting(widename(path));
	BY_HANDLE_FILE_INFORMATION info;
	destkind kind = DEST_DEVICE;

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
	return wtf8(target.c_str());
}

/* A read-only attribute is the one permission a Windows file has. */
static bool
writable(const output *out)
{
	DWORD attrs = GetFileAttributesW(out->wdest.c_str());

	return attrs != INVALID_FILE_ATTRIBUTES && !(attrs & FILE_ATTRIBUTE_READONLY);
}

/* The system's handle on the file written. */
static HANDLE
handleof(const output *out)
{
	return reinterpret_cast<HANDLE>(_get_osfhandle(out->fd));
}

/*
 * Marks a file for deletion when its last handle closes (its
 * disposition), or clears the mark. The system keeps the mark with the
 * file, so a run ended by any means while it stands leaves nothing;
 * unlike FILE_FLAG_DELETE_ON_CLOSE it can be cleared. It is the call
 * DeleteFileW makes, so a file that can't be marked could not be
 * removed either.
 */
static bool
markfordeletion(HANDLE h, bool mark)
{
	FILE_DISPOSITION_INFO info = {mark};

	return SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof(info)) != 0;
}

/*
 * Makes a new file of the whole name w, for writing, marked for
 * deletion; errno EEXIST when the name is taken. The handle may delete
 * the file, a right that moving it takes too, and has what access adds.
 * No call makes a file and marks it at once: a run ended outright
 * (TerminateProcess) in the instant between may leave it, empty.
 */
static int
createnew(const std::wstring &w, DWORD access)
{
	HANDLE h = CreateFileW(w.c_str(), GENERIC_WRITE | DELETE | access, FILE_SHARE_READ | FILE_SHARE_DELETE,
	    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);

	if (h == INVALID_HANDLE_VALUE || !markfordeletion(h, true)) {
		seterrno();
		if (h != INVALID_HANDLE_VALUE)
			CloseHandle(h);
		return -1;
	}
	int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
	if (fd < 0)
		CloseHandle(h); /* which removes it */
	return fd;
}

/*
 * Makes the new file under its temporary name, or another like it
 * where that is taken; one that is to replace a file may be given that
 * file's access list (WRITE_DAC).
 */
static bool
createtemp(output *out)
{
	int tries = 0;

	do {
		out->wtemp = widename(out->folder + out->temp);
		holdstops();
		out->fd = createnew(out->wtemp, out->how == WAY_REPLACE ? WRITE_DAC : 0);
		releasestops();
	} while (out->fd == -1 && retryname(&out->temp, &tries));
	return out->fd != -1;
}

/*
 * Names the former file's place while ReplaceFileW replaces it: beside
 * it, under a name no file bears now, as the call may put it over one.
 * False, errno EEXIST, where no such name is found.
 */
static bool
namebackup(output *out, const std::string &name)
{
	for (int tries = 0; tries < 100; tries++) {
		out->wbackup = widename(out->folder + tempname(name, NAMEMAX));
		if (GetFileAttributesW(out->wbackup.c_str()) == INVALID_FILE_ATTRIBUTES &&
		    GetLastError() == ERROR_FILE_NOT_FOUND)
			return true;
	}
	errno = EEXIST;
	return false;
}

/*
 * Opens the destination itself for writing: a device as it is, a file
 * there as it is, to be written over at the commit, or a new one, made
 * where none is.
 */
static bool
openstraight(output *out, way how)
{
	int flags = _O_WRONLY | _O_BINARY | (how == WAY_STRAIGHT ? _O_CREAT | _O_EXCL : 0);

	out->how = how;
	out->fd = _wopen(out->wdest.c_str(), flags, _S_IREAD | _S_IWRITE);
	return out->fd != -1;
}

/*
 * Makes the new file that will be moved to the destination's name the
 * way how. In a folder that refuses the new file for permission, a file
 * there is written over at the commit, and a new one made straight.
 */
static bool
openreplacing(output *out, const std::string &name, way how)
{
	out->how = how;
	out->temp = tempname(name, NAMEMAX);
	if (how == WAY_REPLACE && !namebackup(out, name))
		return false;
	if (createtemp(out))
		return true;
	return errno == EACCES && openstraight(out, how == WAY_REPLACE ? WAY_OVERWRITE : WAY_STRAIGHT);
}

/* Opens the destination for an export; false when it cannot be written. */
static bool
opendest(output *out, const std::string &name)
{
	std::string path = resolvelink(name);
	size_t sep = path.find_last_of("\\/:");

	out->folder = sep == std::string::npos ? "" : path.substr(0, sep + 1);
	out->wdest = widename(path);
	switch (kindof(path)) {
	case DEST_FAILED:
		return false;
	case DEST_DEVICE:
		return openstraight(out, WAY_DEVICE);
	case DEST_FILE:
		return writable(out) && openreplacing(out, path.substr(out->folder.size()), WAY_REPLACE);
	case DEST_NEW:
		break;
	}
	return openreplacing(out, path.substr(out->folder.size()), WAY_MOVENEW);
}

output *
new_output(const std::string &name)
{
	std::unique_ptr<output, void (*)(output *)> out(new output(), closeoutput);

	return opendest(out.get(), name) ? out.release() : nullptr;
}

bool
writeoutput(output *out, const void *buf, size_t n)
{
	const char *p = static_cast<const char *>(buf);

	if (out->how == WAY_OVERWRITE)
		return holdbytes(&out->held, p, n);
	while (n > 0) {
		int k = _write(out->fd, p, n < 0x40000000 ? unsigned(n) : 0x40000000u);
		if (k <= 0)
			return false;
		p += k;
		n -= size_t(k);
	}
	return true;
}

/* Closes the file written; false when the close reports a failed write. */
static bool
closefile(output *out)
{
	bool closed = _close(out->fd) == 0;

	out->fd = -1;
	return closed;
}

/*
 * Clears the new file's mark, the last step before it is put in place.
 * From here only a run ended outright (TerminateProcess) could leave it,
 * as the stop events wait; the new file now loses its name unless put
 * in place.
 */
static bool
unmark(output *out)
{
	if (!markfordeletion(handleof(out), false))
		return false;
	out->named = true;
	return true;
}

/*
 * Moves the new file from its temporary name to the destination's. A
 * move replaces a file there only when flags say so
 * (MOVEFILE_REPLACE_EXISTING); errno EEXIST when it doesn't and the
 * name is taken.
 */
static bool
movetemp(output *out, DWORD flags)
{
	if (!MoveFileExW(out->wtemp.c_str(), out->wdest.c_str(), flags | MOVEFILE_WRITE_THROUGH)) {
		seterrno();
		return false;
	}
	out->named = false;
	return true;
}

/*
 * Gives the file to the access list of the file from, exactly as it
 * stands: protected from the folder's or not, and its inherited entries
 * as they were inherited, so that no one gains access.
 */
static bool
keepacl(HANDLE from, HANDLE to)
{
	PSECURITY_DESCRIPTOR sd;

	if (GetSecurityInfo(from, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
	    &sd) != ERROR_SUCCESS)
		return false;
	bool kept = SetKernelObjectSecurity(to, DACL_SECURITY_INFORMATION, sd) != 0;
	LocalFree(sd);
	return kept;
}

/*
 * Gives the file to the hidden, system and not-indexed attributes and
 * the creation time of the file from. It stays due for backup
 * (archive), as any file written is.
 */
static bool
keepattributes(HANDLE from, HANDLE to)
{
	const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
	FILE_BASIC_INFO info;

	if (!GetFileInformationByHandleEx(from, FileBasicInfo, &info, sizeof(info)))
		return false;
	info.LastAccessTime.QuadPart = info.LastWriteTime.QuadPart = info.ChangeTime.QuadPart = 0; /* as they are */
	info.FileAttributes = (info.FileAttributes & kept) | FILE_ATTRIBUTE_ARCHIVE;
	return SetFileInformationByHandle(to, FileBasicInfo, &info, sizeof(info)) != 0;
}

/*
 * Gives the new file the former one's access list and attributes
 * before the replacing call, which carries them too, so that they hold
 * on every path: where the system's call carries less, and where a
 * plain move replaces the file instead. A former file whose access
 * list can't be read or given is not replaced, as the new file would
 * be open to more users.
 */
static bool
keepformer(output *out)
{
	HANDLE former = CreateFileW(out->wdest.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
	    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);

	if (former == INVALID_HANDLE_VALUE)
		return false;
	bool kept = keepacl(former, handleof(out)) && keepattributes(former, handleof(out));
	CloseHandle(former);
	return kept;
}

/*
 * After a failed ReplaceFileW. Where it stopped half way, the former
 * file bears the backup name: it gets its own back, or, should even
 * that fail, keeps the backup name, so that no bookmark is lost. Where
 * the system can't replace a file here (a filesystem that refuses the
 * call, or can't move the new file the way the call does), a plain
 * move replaces it; the new file then keeps what keepformer() gave it,
 * but neither the former file's alternate streams nor its short name.
 */
static completion
replacefailed(output *out, DWORD err)
{
	if (GetFileAttributesW(out->wbackup.c_str()) != INVALID_FILE_ATTRIBUTES &&
	    !MoveFileExW(out->wbackup.c_str(), out->wdest.c_str(), MOVEFILE_WRITE_THROUGH))
		return COMPLETE_FAILED;
	switch (err) {
	case ERROR_UNABLE_TO_MOVE_REPLACEMENT:
	case ERROR_UNABLE_TO_MOVE_REPLACEMENT_2:
	case ERROR_INVALID_FUNCTION:
	case ERROR_NOT_SUPPORTED:
		return movetemp(out, MOVEFILE_REPLACE_EXISTING) ? COMPLETE_OK : COMPLETE_FAILED;
	default:
		return COMPLETE_FAILED;
	}
}

/*
 * Puts the new file over the former one with ReplaceFileW, the backup
 * name holding the former file meanwhile, then removes that. The call
 * opens the new file for itself alone, so it is closed first, its mark
 * cleared: a run ended outright from here until the call is done may
 * leave it. A scanner that opens the file in that instant makes the
 * call fail with a sharing violation, so that is tried again for a
 * second. REPLACEFILE_IGNORE_MERGE_ERRORS is not given, so that a
 * failure to carry the access list fails the call; the file is on disk
 * already, whatever REPLACEFILE_WRITE_THROUGH does.
 */
static completion
replace(output *out)
{
	if (!keepformer(out) || !unmark(out) || !closefile(out))
		return COMPLETE_FAILED;
	for (int tries = 0; !ReplaceFileW(out->wdest.c_str(), out->wtemp.c_str(), out->wbackup.c_str(),
	    REPLACEFILE_WRITE_THROUGH, nullptr, nullptr); tries++) {
		DWORD err = GetLastError();
		if (err != ERROR_SHARING_VIOLATION || tries == 20)
			return replacefailed(out, err);
		Sleep(50);
	}
	out->named = false;
	DeleteFileW(out->wbackup.c_str());
	return COMPLETE_OK;
}

/*
 * Moves the new file to the new destination's name, the file still
 * open; a file that took the name meanwhile is replaced.
 */
static completion
movenew(output *out)
{
	if (!unmark(out))
		return COMPLETE_FAILED;
	if (!movetemp(out, 0) && (errno != EEXIST || !movetemp(out, MOVEFILE_REPLACE_EXISTING)))
		return COMPLETE_FAILED;
	closefile(out);
	return COMPLETE_OK;
}

/*
 * Writes the held content over the destination, from its start, once
 * the space is reserved where the filesystem can (its allocation, never
 * below the file's length), so that a full disk ends the run before a
 * byte of it changes; then cuts it to the new length and puts it on
 * disk. Only a failure from the first write over it on can leave it
 * changed.
 */
static completion
overwrite(output *out)
{
	FILE_ALLOCATION_INFO space;
	HANDLE h = HANDLE(_get_osfhandle(out->fd));
	long long length = _filelengthi64(out->fd);

	space.AllocationSize.QuadPart = std::max(length, (long long)out->held.size());
	if (length < 0 || (!SetFileInformationByHandle(h, FileAllocationInfo, &space, sizeof(space)) &&
	    GetLastError() == ERROR_DISK_FULL))
		return COMPLETE_FAILED;
	if (_lseeki64(out->fd, 0, SEEK_SET) != 0)
		return COMPLETE_FAILED;
	for (size_t at = 0; at < out->held.size();) {
		size_t n = std::min(out->held.size() - at, size_t(0x40000000));
		int k = _write(out->fd, out->held.data() + at, unsigned(n));
		if (k <= 0)
			return COMPLETE_FAILED;
		at += size_t(k);
	}
	if (_chsize_s(out->fd, (long long)out->held.size()) != 0)
		return COMPLETE_FAILED;
	return _commit(out->fd) == 0 && closefile(out) ? COMPLETE_OK : COMPLETE_UNSYNCED;
}

/*
 * Puts the new file on disk, then in the destination's place. The stop
 * handler is held off from the moment the file is on disk, and stays
 * so until closeoutput().
 */
completion
commitoutput(output *out)
{
	if (out->how != WAY_DEVICE && out->how != WAY_OVERWRITE && _commit(out->fd) != 0)
		return COMPLETE_FAILED;
	holdstops();
	switch (out->how) {
	case WAY_DEVICE:
	case WAY_STRAIGHT:
		break;
	case WAY_OVERWRITE:
		return overwrite(out);
	case WAY_MOVENEW:
		return movenew(out);
	case WAY_REPLACE:
		return replace(out);
	}
	return closefile(out) ? COMPLETE_OK : COMPLETE_FAILED;
}

/*
 * Ends the output: the new file is closed, which removes it while it
 * is marked, and removed by its name once its mark is cleared, unless
 * it is in place; the stop handler is let in again.
 */
void
closeoutput(output *out)
{
	holdstops();
	if (out->fd != -1)
		_close(out->fd);
	if (out->named)
		DeleteFileW(out->wtemp.c_str());
	out->named = false;
	releasestops();
	delete out;
}
#endif
