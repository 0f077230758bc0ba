// qxFile, qxTempFile and qxCurrentFolder: small classes over file descriptors for
// callers that work with qxString paths. Every failure is thrown as qxException
// with a fixed message whose "%s" is the file's path. Every descriptor is opened
// close-on-exec, so a started program inherits none of them. None of the classes
// is synchronised: an object belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "util/qx_string.h"

// One file: whole-file writes and reads, line reading through a 4096-byte buffer,
// positioning and truncation. The handle is opened on first use and kept until
// Close (or the destructor); "standalone" calls use a descriptor of their own,
// closed before they return. Close deletes the file when m_DeleteOnClose is set.
class qxFile {
 public:
  static constexpr size_t kBufferSize = 4096;
  static constexpr size_t kNoMaximum = static_cast<size_t>(-1);

  qxFile() = default;
  explicit qxFile(const qxString& path) : m_Path(path) {}
  qxFile(const qxFile&) = delete;
  qxFile& operator=(const qxFile&) = delete;
  ~qxFile() { Close(); }

  // Writes all count bytes and returns count. Without an open handle the file is
  // opened (created when missing): a non-empty file is cut to nothing with
  // m_Truncate, else written at its end. With an open handle the bytes go to the
  // current position.
  size_t Write(const void* bytes, size_t count, bool standalone = false);
  // target becomes the file's bytes, at most maximum of them: from the current
  // position with an open handle, else from the start. Returns the count read.
  size_t ReadAll(qxString& target, size_t maximum = kNoMaximum, bool standalone = false);
  // target becomes the next line, its end-of-line text included, at most maximum
  // bytes; returns its length, 0 at the end of the file (the call after that
  // starts again at the beginning). Every byte counts, NUL included, and the
  // end-of-line text is found also when it spans two loads of the buffer.
  size_t ReadLine(qxString& target, const qxString& endOfLine, size_t maximum = kNoMaximum);
  // To the start (line reading starts again), or opens the file for reading.
  void Rewind();
  // To the end (the next ReadLine answers 0), or opens the file for reading.
  void SeekEnd();
  bool IsAtStart() const;
  bool IsAtEnd() const;
  // Cuts an open, non-empty file to nothing.
  void Truncate();
  // Closes the handle, deletes the file when m_DeleteOnClose is set, and resets
  // everything: both flags false, the path empty. Never throws.
  void Close();

  bool IsOpen() const { return m_Handle >= 0; }

  bool m_Truncate = false;       // a whole-file write replaces the content
  bool m_DeleteOnClose = false;  // Close deletes the file
  qxString m_Path;

 private:
  static constexpr uint16_t kNotLoaded = 0xFFFF;  // no buffer loaded: start of file
  static constexpr uint16_t kAtEnd = 0xFFFE;      // the previous line met the end

  [[noreturn]] void Fail(const char* format) const;
  // The handle for a call: m_Handle, opened for reading when none is open.
  void OpenForReading();
  // Loads the next bytes into the buffer; false when there are none.
  bool Load();

  int m_Handle = -1;
  std::unique_ptr<char[]> m_Buffer;
  uint16_t m_Position = kNotLoaded;  // next byte in m_Buffer
  uint16_t m_Loaded = 0;             // valid bytes in m_Buffer
};

// A byte buffer kept in a new file of the temporary folder (GetTempFolder), with
// the prefix "qx", and read back. The file stays until Delete (the destructor
// frees only the bytes read), so its name can be handed to other programs.
class qxTempFile {
 public:
  qxTempFile() = default;
  qxTempFile(const qxTempFile&) = delete;
  qxTempFile& operator=(const qxTempFile&) = delete;
  ~qxTempFile() = default;

  // Deletes the previous file, creates a new empty one and gives it the extension
  // (below); returns its path.
  qxString Create(const qxString& extension);
  // The same, then writes the bytes into it; returns its path.
  qxString WriteContent(const void* bytes, size_t count, const qxString& extension);
  // Reads the whole file into the content; returns its size.
  int ReadContent();
  // Frees the content and deletes the file.
  void Delete();
  // The full path, or without fullPath the name after the last '/'.
  qxString GetName(bool fullPath) const;

  const char* GetContent() const { return m_Content.empty() ? nullptr : m_Content.data(); }
  int GetContentSize() const { return m_ContentSize; }

 private:
  // A new file's extension is "tmp". A requested extension that differs without
  // regard to case is appended ("." first unless it begins with one) and the file
  // moved there, never over an existing file.
  void ApplyExtension(const qxString& path, const qxString& extension);

  qxString m_FileName;
  std::vector<char> m_Content;
  int m_ContentSize = 0;
};

// Remembers the process's current folder and changes it. The current folder is
// process-wide: callers keep to one thread while they rely on it.
class qxCurrentFolder {
 public:
  qxCurrentFolder();
  // Saves the current folder, then changes to folder when it is not empty.
  explicit qxCurrentFolder(const qxString& folder);

  // An empty folder changes nothing and answers true; else whether the change
  // succeeded.
  bool Set(const qxString& folder);
  // Back to the saved folder (true when none was saved).
  bool Restore();
  bool IsChanged() const { return m_Changed; }
  const qxString& GetSaved() const { return m_Saved; }

 private:
  qxString m_Saved;
  bool m_Changed = false;
};
