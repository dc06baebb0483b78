// Following a path that a user gave, and opening the file it names to read or to write.
#pragma once

#include "platform/win32/followed_path.h"

#include <string>
#include <sys/types.h>

// An open file descriptor, closed with its owner.
using tk_fd = win32::file_descriptor;

// Where a path leads: the folder its last name is in, held open, and that name. The walk and its
// rule are described at win32::followed_path; here its refusals become the toolkit's messages.
using tk_followed_path = win32::followed_path;

// Follows `path` as win32::follow_path does. A refused link and a loop of links (more than 40) are
// a tk_exception (level 1): "The symbolic link '<link>' is not followed: it is in the shared folder
// '<folder>/' and belongs to another user". Other failures return the errno (ENOENT for a folder on
// the way that does not exist, ENOTDIR where a file stands for a folder), 0 on success; the last
// name need not exist. On such a failure `text` is the path as followed so far with the names not
// reached yet. With `follow_last` false, a link as the last name is not followed: it is the name
// found.
int tk_follow_path(const std::string& path, tk_followed_path& followed, bool follow_last = true);

// Opens the file a path names for reading, following links as tk_follow_path does. The
// descriptor or -1 with errno set; a refused link is a tk_exception.
tk_fd tk_open_for_reading(const std::string& path, int flags);

// How a file is opened for writing.
using tk_write_mode = win32::write_mode;

// The one way this program opens a file to write into: the name `name` in the folder
// `folder` (from tk_follow_path), shown as `text` in messages. It is never a link (the path was
// followed already), never anything but a regular file, and never a file that belongs to another
// user: such a file is refused before a byte of it changes (tk_exception level 1, "'<text>' belongs
// to another user" / "'<text>' is not a regular file"), since writing into it would hand what is
// written to its owner. Nor is it an existing file with other links in a folder that is sticky
// and writable by everyone ("'<text>' has other links in a shared folder"): another user may have
// made that link to a file of the caller's elsewhere. A new file gets `mode` less the umask. Other
// failures are -1 with errno. Opening never waits for a pipe's reader.
tk_fd tk_open_in_folder(int folder, const std::string& name, const std::string& text,
                        tk_write_mode how, mode_t mode);

// The file a followed path names, opened as tk_open_in_folder does.
tk_fd tk_open_for_writing(const tk_followed_path& at, tk_write_mode how, mode_t mode);

// Follows `path` and opens it as tk_open_for_writing does; a failure to follow is -1 with errno.
// With `follow_last` false, a link as the last name is not written through (-1, ELOOP): for a
// path that was followed once already, whose last name must stay the file then found.
tk_fd tk_open_for_writing(const std::string& path, tk_write_mode how, mode_t mode,
                          bool follow_last = true);

// Removes the file `path` names, following links as tk_follow_path does; a file of another
// user is refused as by tk_open_in_folder. 0 or the errno; a missing file is ENOENT.
int tk_remove_file(const std::string& path);
