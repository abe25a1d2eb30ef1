// The per-model INI file in the system root and its import into "Settings".
//
// The file ("\SystemRoot\" + "ModuleName", default "AUBRICPRO.INI") is ANSI text in lines
// ended by CR LF: [VERSION] gives the file's version, [QUVARA] maps hardware IDs to model
// names, and the sections [model] and [model:sub-key] hold key lines whose values are
// copied into "Settings" (or its sub-key) once per file version.
#pragma once

#include "adapter/ini_parse.h"
#include "kernel/io.h"
#include "kernel/ntdef.h"
#include "kernel/pool.h"

constexpr ULONG INI_FILE_POOL_TAG = MakePoolTag('P', 'I', 'N', 'I');
constexpr ULONG INI_LINE_POOL_TAG = MakePoolTag(' ', 'I', 'N', 'I');

class CIniFile : public platform::PoolAllocated {
 public:
  // Longest path "\SystemRoot\" + module name, in characters.
  static constexpr ULONG MAX_PATH_CHARS = 49;

  CIniFile() = default;
  ~CIniFile();
  CIniFile(const CIniFile&) = delete;
  CIniFile& operator=(const CIniFile&) = delete;

  // Reads the device's hardware ID and the module name, builds the file path and
  // allocates the line buffer. A failure ends the import.
  NTSTATUS Init(PDEVICE_OBJECT DeviceObject);
  // The version of [VERSION]; 0 when the file, the section or the number is missing (an
  // existing file without a readable version is logged).
  ULONG ReadVersion();
  // Finds the device's model in [QUVARA]; the file stays open for ApplySettings.
  // STATUS_UNSUCCESSFUL when the file or the entry is missing.
  NTSTATUS OpenModel();
  // Writes every key line of the model's sections into Settings; lines that do not
  // parse are skipped.
  NTSTATUS ApplySettings();
  void Close();

  const CHAR* ModelName() const { return m_ModelName; }
  const CHAR* HardwareId() const { return m_HardwareId; }
  const WCHAR* FilePath() const { return m_FilePath; }

 private:
  NTSTATUS OpenFile();
  // Reads the next line into m_pLine (CR LF appended); false at the end of the file. A
  // line past kMaxLine characters is cut there and flagged: it still opens or ends a
  // section as its first kMaxLine characters read, but it is never an entry.
  bool ReadLine();
  bool ReadByte(CHAR* c);
  ini::Line CurrentLine() const { return {m_pLine, m_nLineLength}; }
  // Reads up to and including the header of the named section; false at the end.
  bool FindSection(const CHAR* name, ULONG length);

  HANDLE m_hFile;
  IO_STATUS_BLOCK m_IoStatus;
  PCHAR m_pLine;  // kMaxLine + 2 bytes, paged pool
  ULONG m_nLineLength;
  bool m_bLineTooLong;  // the current line was cut at kMaxLine
  CHAR m_ModelName[ini::kMaxModelName + 1];
  ULONG m_nModelNameLength;
  CHAR m_HardwareId[ini::kMaxHardwareId + 1];
  ULONG m_nHardwareIdLength;
  ULONG m_nReadPos;
  ULONG m_nReadPosHigh;
  ULONG m_nReadLimit;
  PDEVICE_OBJECT m_pDeviceObject;
  WCHAR m_FilePath[MAX_PATH_CHARS + 1];
};

// The import as the root device object runs it at start: when the file's version is
// above the stored "IniVersion" and the device's model is listed, the model's values are
// written and "IniVersion" updated. Returns the reader's set-up status (the device starts
// whatever it is).
NTSTATUS ImportIniFile(PDEVICE_OBJECT DeviceObject);
