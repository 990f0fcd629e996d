// veskburner.h: TVeskBurner, the burning component. It holds the compilation
// (the tree of directories and files to record), lays the file-system image
// out (ISO 9660 with Joliet, optionally El Torito bootable), builds the image
// head in memory and runs the writing jobs; its base TSCSIDevice carries the
// log channel and, with the drive layer, every command sent to a recorder.
//
// Thread safety: the tree is built, edited and laid out on one thread; while a
// writing job runs, its threads read the tree, which must not change until
// OnWriteDone has arrived.
#pragma once

#include <cstdint>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "burner/compilation/dir_record.h"
#include "burner/compilation/el_torito.h"
#include "burner/compilation/entries.h"
#include "burner/compilation/image_head.h"
#include "burner/compilation/record_pool.h"
#include "burner/compilation/tree_index.h"
#include "burner/drive/scsi_device.h"
#include "burner/platform/date_time.h"
#include "burner/platform/find_file.h"
#include "burner/platform/folder_prefetch.h"
#include "burner/platform/status.h"
#include "burner/platform/stream_ex.h"

namespace zamo {

using TAddFileEvent =
    std::function<void(TObject* Sender, const std::string& FullPath, std::string& LongFileName,
                       std::string& ShortFileName, TDateTime& DateTime, int Attr, int64_t FileSize, bool& Skip)>;
using TAddDirEvent =
    std::function<void(TObject* Sender, std::string& LongName, std::string& ShortName, bool& Skip)>;
using TWriteDoneEvent = std::function<void(TObject* Sender, const std::string& Error)>;
using TNotifyEvent = std::function<void(TObject* Sender)>;

constexpr int kDefaultMaxFiles = 65535;
constexpr int kDefaultMaxDirs = 8191;
constexpr int64_t kMinimumSessionSectors = 300;  // what WritePostGap pads a session to
constexpr int64_t kMaxFileSize = kMaxMultiExtentFileBytes;  // in extents of 4 GiB - 2048 (dir_record.h)
constexpr int kHeaderCopyBytes = 65537;

class TCacheThread;
class TThWrite;
class TVerifyThread;

class TVeskBurner : public TSCSIDevice {
 public:
  explicit TVeskBurner(TComponent* owner);
  ~TVeskBurner() override;

  // ---- Published properties ----------------------------------------------
  const std::string& Version() const { return version_; }
  void SetVersion(const std::string&) {}  // read-only in effect
  bool JolietFileSystem = true;
  bool ReplaceFile = false;
  std::string IdVolume, IdSystem, IdVolumeSet, IdPublisher, IdPreparer, IdApplication;
  std::string FileCopyright, FileAbstract, FileBibliographic;
  TDateTime DateCreation = 0;
  TDateTime DateModification = 0;
  TDateTime DateEffective = 0;   // kept, not written (the zero date is)
  TDateTime DateExpiration = 0;  // kept, not written
  bool WritePostGap = true;
  int CacheSize() const { return cache_size_; }
  // At least 2 MiB, rounded down to a multiple of 2048.
  void SetCacheSize(int value);
  std::string ISOFileName;

  TAddFileEvent OnAddFile;
  TAddDirEvent OnAddDir;
  TWriteDoneEvent OnWriteDone;
  TNotifyEvent OnFinalizingTrack;

  // ---- Compilation fields ----------------------------------------------
  TDEntry* RootDir = nullptr;
  int64_t CompilationBytes = 0;
  bool LastFolderOnly = false;
  bool Bootable = false;
  std::string BootImage;
  // How the BIOS sees BootImage: by its size (the default), or as chosen.
  TBootEmulation BootEmulation = TBootEmulation::kBySize;
  // No emulation only: the 512-byte sectors of BootImage the BIOS loads
  // (the catalog's sector count; 0 counts as the default), and whether the
  // boot information table is laid over its bytes 8-63 as it is written
  // (the file itself is never changed).
  uint16_t BootLoadSize = kDefaultBootLoadSize;
  bool BootInfoTable = false;
  uint16_t SessionToImport = 0;
  // The clock the layout reads for the dates it stamps (a seam for tests).
  std::function<TDateTime()> Clock = NowDateTime;

  // ---- Layout values (set by LayoutImage and LayoutCompilation) ----------
  int32_t SessionStart = 0;
  int32_t IsoPathTableL = 0, IsoPathTableM = 0, JolietPathTableL = 0, JolietPathTableM = 0;
  int32_t IsoPathTableSize = 0, JolietPathTableSize = 0;  // bytes, without padding
  int32_t IsoDirBase = 0, IsoDirBytes = 0, JolietDirBase = 0, JolietDirBytes = 0;
  int32_t BootCatalogLba = 0, BootImageLba = 0, BootSectors = 0;
  // The boot information table every copy of the boot image carries at
  // byte 8 (BuildImageHeader sets it); empty when none is asked for.
  std::vector<uint8_t> BootInfo;
  int64_t PadSectors = 0;  // zero sectors up to sector 150 (0 or negative: none)
  // Of PadSectors, the part emitted after the boot image rather than inside
  // the head: a short boot image must lie at BootImageLba, right after the
  // catalog, so the padding follows it. 0 without a boot image.
  int64_t PadAfterBoot = 0;
  int32_t FirstFileLba = 0;
  int64_t FileSectors = 0;
  int64_t VolumeSpaceSize = 0;
  int64_t SessionSectors = 0;
  // The image head from the session's start: whole (every sector before the
  // boot image or the file data), or, when BuildImageHeader was asked to
  // generate the directory extents, only its first part (system area,
  // descriptors, path tables), NewHeadExtents giving the rest. The cache
  // thread releases it once queued.
  TMemoryStreamEx ImageStream;
  bool ImageMode = false;
  TDEntry* ImportTarget = nullptr;
  bool WritingToDisc = false;
  int16_t GmtOffset = 0;
  std::vector<uint8_t> HeaderCopy;  // the descriptors, for overwritable discs
  int HeaderCopySize = 0;
  std::string CurrentFile;

  // ---- The compilation tree ----------------------------------------------
  bool ClearCompilation(int max_files, int max_dirs);
  bool ResetCompilation();
  void NewDirEntry(TDEntry*& out);
  void NewFileEntry(TFEntry*& out);
  TDEntry* FindDir(const std::string& path) const;
  TDEntry* AddDir(TDEntry* parent, const TSearchRec& rec);
  TDEntry* AddDirByName(TDEntry* parent, const std::string& name, int attr);
  TDEntry* ForceDirs(const std::string& path);
  TFEntry* FindChild(const TDEntry* dir, const std::string& long_name) const;
  int AddFileEntry(TDEntry* dest, const TSearchRec& rec, bool clear_archive, int32_t imported_sector,
                   const std::string& full_path);
  int AddFile(const std::string& dest_path, const std::string& file_name, bool keep_path);
  int AddFolderTo(TDEntry* dest, std::string source_path, bool archive_only, bool keep_path, bool recursive,
                  int file_attr, std::string mask);
  int AddFolder(const std::string& dest_path, const std::string& source_path, bool archive_only, bool keep_path,
                bool recursive, int file_attr, const std::string& mask);
  int64_t FolderSize(const std::string& path) const;
  bool ClearArchiveBits();
  int DirectoryCount() const { return dir_count_ - 1; }
  int FileCount() const { return file_count_; }
  int64_t ImageSectors() const;
  int MaxFiles() const { return max_files_; }
  int MaxDirs() const { return max_dirs_; }
  // For a program about to end (zamo-cli): the compilation trees of the
  // components destroyed from now on are left to the process' end instead of
  // being freed record by record, which takes a quarter of a second for
  // 300,000 files and gives nothing back to anyone. They stay reachable, so
  // a leak checker does not count them. Never undone.
  static void LeaveTreesToProcessEnd();

  // The arrays, counted part only: entries in creation order; directories in
  // creation order and, after a layout, in path-table order.
  std::span<TFEntry* const> FileEntries() const { return {file_entries_.data(), size_t(file_count_)}; }
  std::span<TDEntry* const> DirEntries() const { return {dir_entries_.data(), size_t(dir_count_)}; }
  std::span<TDEntry* const> IsoDirOrder() const { return {iso_dir_order_.data(), size_t(dir_count_)}; }
  std::span<TDEntry* const> JolietDirOrder() const { return {joliet_dir_order_.data(), size_t(dir_count_)}; }

  // ---- Editing ------------------------------------------------------------
  bool DeleteChild(TDEntry*& dir, TFEntry*& entry);
  bool DeleteDirContents(TFEntry*& dir_entry);
  bool DeleteDir(TDEntry*& dir);
  bool DeleteByName(const std::string& parent_path, const std::string& long_name);
  bool RemoveEmptyDirs();
  void RemoveDirEntry(TDEntry*& dir);
  void RemoveFileEntry(TFEntry*& entry);

  // ---- Layout and image head ----------------------------------------------
  // Two ways to lay the compilation out (both return 1):
  // - LayoutImage (and CalculateLayout, the same for the application) runs
  //   the disc step, then the layout proper. For an image file
  //   (`to_image_file`) the session starts at sector 0 and no drive is asked.
  //   For a disc, the drive says the disc kind (RecordedDiscKind) and, for a
  //   writing job (WritingToDisc), where the session starts; SessionToImport
  //   is then imported into `import_into` (the root when null). The jobs call
  //   it before BuildImageHeader, and the application before a burn to
  //   compare the size with the disc's free blocks.
  // - LayoutCompilation is the layout proper alone: it sends no command to
  //   the drive and works from SessionStart and the tree as they are (a
  //   session imported earlier stays in it, nothing is imported again). The
  //   desktop program calls it on every edit of the file list to redraw its
  //   disc-fill gauge, after one LayoutImage for the disc in the drive.
  //   BuildImageHeader may follow it.
  // (LayoutImage is in burner/import/session_start.cpp with the disc step.)
  int CalculateLayout(bool to_image_file, TDEntry* import_into);
  int LayoutImage(bool to_image_file, TDEntry* import_into);
  int LayoutCompilation();
  // Where BuildImageHeader puts the directory extents, boot catalog and
  // padding: in ImageStream after the path tables, or nowhere, a
  // HeadExtentsSource generating them as a job reads on (the head of a tree
  // of many small folders is as large as the tree).
  enum class THeadExtents { kInStream, kGenerated };
  bool BuildImageHeader(bool to_image_file, TDEntry* import_into, THeadExtents extents = THeadExtents::kInStream);
  // The rest of the head after ImageStream, generated as it is read, when
  // BuildImageHeader left it out of ImageStream; null when ImageStream holds
  // it. Each call starts again from the first directory extent.
  std::shared_ptr<HeadExtentsSource> NewHeadExtents() const;
  int IsoDirSize(const TDEntry* dir) const;
  int JolietDirSize(const TDEntry* dir) const;
  int LayoutIsoDirs();
  int LayoutJolietDirs();
  int ComputeIsoPathTableSize();
  int ComputeJolietPathTableSize();
  void OrderDirectories();
  void AssignFileExtents();
  void WriteIsoPathTable(int32_t base, bool big_endian);
  void WriteJolietPathTable(int32_t base, bool big_endian);
  void WriteIsoDirectory(const TDEntry* dir, int32_t base, int32_t file_base);
  void WriteJolietDirectory(const TDEntry* dir, int32_t base, int32_t file_base);
  void WritePrimaryDescriptor();
  void WriteJolietDescriptor();
  void WriteTerminator();
  void WriteBootRecord();
  void WriteBootCatalog();
  // Fills BootInfo when a no-emulation boot image asks for the table: reads
  // the image for its checksum. Says so in the log, and leaves BootInfo
  // empty, when the image is unreadable or too short to hold the table.
  void MakeBootInfo();

  // ---- Before a burn (burner/writing/burn_plan.cpp) -------------------------
  // What a burn of the compilation will do, decided before it starts, and
  // why it cannot when it cannot.
  struct TBurnPlan {
    TDiscKind Kind = dkUnknown;
    bool Overwritable = false;  // written over (DVD+RW, DVD-RAM, restricted-overwrite DVD-RW): no sessions
    bool HoldsFiles = false;    // a session, or a volume, whose files a new session keeps
    bool DiscChecked = false;   // CheckBurnDisc has run and found the disc writable
    int64_t Sectors = 0;        // the session's sectors, from the layout for the disc
    uint32_t FreeBlocks = 0;
    std::string Refusal;        // French, for the log; empty while the burn can go on
  };
  // The disc in the drive, for a burn: ready, answering, recordable and not
  // closed. False with the reason in plan.Refusal. Fills Kind,
  // Overwritable, HoldsFiles and RecordedDiscKind.
  bool CheckBurnDisc(TBurnPlan& plan);
  // The plan of a compilation burn: the disc checked (unless CheckBurnDisc
  // has done it), a compilation that holds something, the session whose
  // files the new one keeps (`import_session`: negative for the last one when
  // the disc holds files, 0 for none, n for session n; set in
  // SessionToImport), the layout for the disc, and whether it fits. False
  // with the reason in plan.Refusal.
  bool PlanBurn(TBurnPlan& plan, int import_session);

  // ---- Writing jobs --------------------------------------------------------
  // Writes the compilation to `file_name`; reports once through OnWriteDone.
  // Quick: in one pass before returning. Otherwise the read-ahead cache and
  // the writer thread do it, and OnWriteDone comes later, through Synchronize.
  void SaveImageFile(const std::string& file_name, bool quick);
  // Records the compilation on the disc in the recorder: 1 when the writer
  // was started, 0 when the job failed before (reported by OnWriteDone).
  int RecordCompilation();
  // Records an existing image file, byte for byte, from sector 0 of the
  // disc: true when the writer was started.
  bool RecordImageFile(const std::string& file_name);
  // Starts the writer on the primed cache (CacheThread).
  bool StartWriterThread(bool to_file);
  // Asks the running job to stop; it ends through OnWriteDone. A drive
  // command in flight is not waited for (the drive may still finish it).
  // Only stores to atomics: a signal handler may call it.
  void AbortWriting() {
    abort_flag_ = true;
    CancelPendingCommand();
  }
  // How full the read-ahead cache is, in percent (0 when no job runs).
  int CacheFillPercent();
  // Bytes handed to the target by the running (or last) job.
  int64_t BytesWritten() const { return bytes_written_; }

  // What a job is doing: the writer's phases, a verification, an erase.
  enum class TJobPhase : uint8_t { kIdle, kPreparing, kWriting, kFlushing, kClosing, kFinishing, kVerifying, kErasing };
  // Every figure of the running (or last) job at once, for a progress
  // display; safe to call from any thread, at any time.
  struct TJobProgress {
    TJobPhase Phase = TJobPhase::kIdle;
    int64_t BytesWritten = 0;      // handed to the target
    int64_t TotalBytes = 0;        // the job's size: its sectors × 2048
    int CacheFillPercent = 0;      // the read-ahead cache
    uint32_t DriveBufferSize = 0;  // the drive's buffer, as it last said
    uint32_t DriveBufferFree = 0;
    int64_t VerifiedBytes = 0;     // a verification's progress
    int64_t VerifyTotalBytes = 0;
    int ErasePercent = 0;          // an erase's estimated progress
    std::string CurrentFile;       // the source file being read
  };
  TJobProgress Progress();
  // The phase in the user's words: "écriture", "vidage du tampon du graveur",
  // "fermeture de la session" ...
  static const char* JobPhaseText(TJobPhase phase);
  // True from the start of a threaded job until its OnWriteDone has run.
  bool JobRunning() const { return job_running_; }
  std::string DoneText;
  // The job's read-ahead cache; the writer frees it when it ends.
  TCacheThread* CacheThread = nullptr;
  // How long a job waits on a cache that delivers nothing before it gives up.
  std::chrono::seconds StallBound{120};
  // Called on the starting thread between the polls of a job's start while
  // the read-ahead cache fills (every 10 ms or so): a desktop front end runs
  // its pending events there, so that its window keeps repainting while a
  // burn or a save starts from it. Not called from any other thread.
  std::function<void()> WhileStarting;
  // How long a write the drive keeps refusing as not ready or busy is sent
  // again before the job fails with what the drive answered.
  std::chrono::seconds DriveBusyBound{120};

  // ---- A session on the disc (burner/import/) ------------------------------
  // Reads the file system of a session of the disc into `Into` (the root
  // when null) as imported entries: the Joliet tree, else the ISO 9660 one.
  // Session: 1 to the disc's count; negative or above the count, the last;
  // 0 imports nothing. True when the session's tree was read.
  bool ImportSessionTree(int Session, TDEntry* Into);
  // One directory extent and everything below it; true when its first
  // sector could be read.
  bool ImportJolietDirectory(int32_t Lba, int32_t Length, TDEntry* Into);
  bool ImportIsoDirectory(int32_t Lba, int32_t Length, TDEntry* Into);
  // Imported files whose data runs past what the disc holds recorded (an
  // interrupted session) are marked Damaged. The import made for a new
  // session (the layout's disc step) leaves them out instead, with a line:
  // a new session never lists a file a reader cannot get back.
  bool ImportLeavesOutDamaged = false;
  // The end (first sector after) of the data of the interrupted session that
  // this job closed, whose unrecorded tail the drive may have padded; 0 when
  // none. The import then takes it as that session's readable end.
  uint32_t InterruptedSessionEnd = 0;
  // The session the last import read, whether from its Joliet tree, and
  // its first sector (its volume descriptors are 16 sectors on).
  int ImportedSession = 0;
  bool ImportedJoliet = false;
  uint32_t ImportedSessionStart = 0;
  // Copies an imported file's data from the disc to `DestFile`, which gets
  // the file's recorded date. On failure (the text in ExtractError and the
  // log) `DestFile` is left as it was: the copy goes to a temporary file
  // beside it, renamed over it only once complete and dated.
  bool ExtractFile(const TFEntry* Entry, const std::string& DestFile);
  std::string ExtractError;
  // Asks the drive where a new session starts and stores it in SessionStart;
  // true when the drive's answer was usable.
  bool FindSessionStart();
  // Volume space size of the disc's volume (overwritable discs): that of the
  // primary descriptor of the set from sector 16 to its terminator, else of
  // its first supplementary one; 0 when there is none.
  uint32_t FindLastVolumeSize();

  // ---- Verifying a session (burner/verify/) --------------------------------
  // One file of the compilation and its names on a disc, for VerifySession.
  struct TVerifySource {
    std::string SourcePath;                // the file on the computer
    std::vector<std::string> JolietNames;  // its folders and its name, from the root, in the Joliet tree
    std::vector<std::string> IsoNames;     // the same in the ISO 9660 tree
  };
  // What the last verification found; set before OnVerifyDone.
  struct TVerifyCounts {
    int Identical = 0;        // files equal to their source
    int Different = 0;        // files whose size or bytes differ, or missing on the disc
    int Unreadable = 0;       // files with a sector the drive cannot read, or damaged
    int Unverified = 0;       // files whose source could not be read
    int ReadOnly = 0;         // files read without a source to compare with (earlier sessions)
    int AreasIdentical = 0;   // areas of the session's head: descriptors, path tables, directories, boot image
    int AreasDifferent = 0;
    int AreasUnreadable = 0;
    int ImportErrors = 0;     // lines of the session's import about problems (a directory not read, a damaged file)
    int Errors() const {
      return Different + Unreadable + Unverified + AreasDifferent + AreasUnreadable + ImportErrors;
    }
  };
  // Leaves the image head in ImageStream once a recording job has sent it,
  // for VerifyRecording: the job then builds it whole there (otherwise only
  // its first part is in memory, released as soon as it is queued, and the
  // directory extents are generated as the cache takes them).
  bool KeepImageHead = false;
  // Reads back the session the last RecordCompilation recorded and compares
  // it with what was laid out: the head's sectors (system area, descriptors,
  // path tables, directories, boot catalog) with ImageStream, the boot image
  // and every file recorded in the session with its source file, read
  // afresh; on an overwritable disc, the descriptors written at its start
  // too. Files of earlier sessions are read, to know that they can be. Each
  // damaged or unreadable file is named in the log, then a summary. Runs on
  // a thread: true when it started, and OnVerifyDone follows once, through
  // Synchronize; false when it could not (OnVerifyDone has run already).
  bool VerifyRecording();
  // The compilation's files with their names on a disc, for VerifySession.
  // Lays the compilation out (for an image file: no drive is asked) so that
  // the ISO 9660 names take the form they are recorded with.
  std::vector<TVerifySource> VerifySources();
  // Empties the compilation, imports session `Session` (negative: the last)
  // into it and compares each of `Sources` with the file of its name there
  // (Joliet names when the session has a Joliet tree): missing, of another
  // size, other bytes, an unreadable sector. The session's other files are
  // read, not compared. Runs as VerifyRecording does; the compilation must
  // not change until OnVerifyDone.
  bool VerifySession(int Session, const std::vector<TVerifySource>& Sources);
  // Reads back the image file the last RecordImageFile recorded, from sector
  // 0, and compares it with `FileName` byte for byte; as VerifyRecording.
  bool VerifyImageFile(const std::string& FileName);
  // Asks the running verification to stop; it ends through OnVerifyDone.
  // A drive command in flight is not waited for. Only stores to atomics: a
  // signal handler may call it.
  void AbortVerify();
  // True from a started verification until its OnVerifyDone has run.
  bool Verifying() const;
  // Progress: bytes read and compared so far, and in all.
  int64_t VerifyBytesDone() const;
  int64_t VerifyBytesTotal() const;
  // Error: "" when everything read back as it was recorded.
  TWriteDoneEvent OnVerifyDone;
  TVerifyCounts VerifyCounts;

 private:
  friend class TVerifyThread;
  // Stops the thread (bounded by the drive command in flight), then frees it.
  struct VerifyThreadDeleter {
    void operator()(TVerifyThread* thread) const;
  };
  // Declared before the component's other private members, so destroyed
  // after them: the thread reads only its own plan, ImageStream and
  // HeaderCopy (destroyed later still) and the drive layer of the base.
  std::atomic<bool> verify_abort_{false};
  // Guards the pointer (not the thread): progress is read from any thread.
  mutable std::mutex verify_mutex_;
  std::unique_ptr<TVerifyThread, VerifyThreadDeleter> verify_thread_;

 private:
  // The disc step of LayoutImage: disc kind, session start for a writing
  // job, import of SessionToImport.
  void LayoutDiscStep(TDEntry* import_into);
  // The boot image's size in bytes; a missing or empty one switches
  // Bootable off (with a line when it was on) and gives 0.
  int64_t CheckBootImage();
  // READ TRACK INFORMATION of the first track of a session into TrackInfo.
  bool ReadSessionTrackInformation(int session);
  // The first sector of session `session` of `count`: from the track
  // information, else from the table of contents.
  bool FindSessionAddress(int session, int count, uint32_t& start);
  // Before a new session on a write-once disc: closes the last session when
  // a stopped job left it open with data (and says so), noting where its
  // data ends in InterruptedSessionEnd. False when the job failed (reported).
  bool CloseInterruptedSession(TDiscKind kind);
  // Writes zero sectors over [from, to); false when the drive refuses.
  bool FillWithZeros(uint32_t from, uint32_t to);
  friend class TThWrite;
  // Waits (polling every 10 ms) until the cache is primed; on a failure
  // before that, reports it through OnWriteDone and frees the cache.
  bool WaitForCache();
  void FreeCacheThread();
  // Reports the end of a threaded job, once, on the user-interface thread.
  void DeliverWriteDone(const std::string& error);
  void ReportJobFailure(const std::string& error);

  // Appends `entry` at the end of `dir`'s child list and indexes it (by
  // `key` when given: the key of its long name).
  void AppendChild(TDEntry* dir, TFEntry* entry, const ChildKey* key = nullptr);
  // Unlinks `entry` from `dir`'s list; `previous` is the entry before it (or null).
  void UnlinkChild(TDEntry* dir, TFEntry* entry, TFEntry* previous);
  // Deletes `entry` (and, for a directory entry, the subtree below it) and
  // compacts the arrays once.
  void DeleteEntryAndSubtree(TDEntry* dir, TFEntry* entry, TFEntry* previous);
  void CompactArrays();
  std::string BuildDirPath(const TDEntry* dir) const;
  // Points `entry` at its source file `full_path` ("" for none), sharing the
  // folder part with the file added before it when they have the same one.
  void SetEntrySource(TFEntry* entry, const std::string& full_path);
  TDateTime SearchRecDate(const TSearchRec& rec) const;
  // The disc path a source folder is re-created at (KeepPath), before LastFolderOnly.
  std::string SourceFolderToDiscPath(const std::string& folder) const;
  // Re-creates the folder of `source` on the disc (below `dest` unless it is
  // the root or null) as KeepPath and LastFolderOnly say, and returns it.
  TDEntry* KeptPathDestination(const TDEntry* dest, const std::string& source);
  TFEntry* DirEntryOf(const TDEntry* dir) const;
  // The listing of a folder of a walk: from the prefetcher when it is ready.
  // The entries left out as neither file nor folder go to *skipped.
  std::vector<TSearchRec> ListForWalk(const std::string& folder, int* error, bool query_archive,
                                      std::vector<TSkippedEntry>* skipped);
  // Names in the log each entry of `folder` left out as neither file nor folder.
  void ReportSkipped(const std::string& folder, const std::vector<TSkippedEntry>& skipped);
  bool DirLongNameFits(const std::string& long_name, const std::string& where);
  void WritePathTable(int32_t base, bool big_endian, bool joliet);
  int DirSize(const TDEntry* dir, bool joliet) const;
  // The 7-byte date of a record: the local time and the offset from
  // Greenwich in effect at that time (daylight saving included), so that
  // readers get the right instant all year round. GmtOffset stands in when
  // the date cannot be placed.
  RecordDate RecordDateOf(TDateTime value);
  // Gives later entries of a directory that share an ISO 9660 identifier
  // with an earlier one a ~N form of it, so no reader of the ISO 9660 tree
  // loses a file.
  void MakeIsoNamesUnique();
  Status QuickSave(const std::string& file_name);
  Status CopyFilesToImage(TFileStreamEx& image, const std::string& file_name,
                          const std::optional<std::pair<dev_t, ino_t>>& image_identity);  // FileIdentity

  std::atomic<bool> abort_flag_{false};
  std::atomic<TJobPhase> job_phase_{TJobPhase::kIdle};
  std::atomic<int64_t> job_total_bytes_{0};
  std::atomic<bool> writing_active_{false};
  std::atomic<int64_t> bytes_written_{0};
  std::atomic<bool> job_running_{false};
  std::atomic<bool> writer_running_{false};  // from StartWriterThread to the writer's last use of this
  // Whether this component still exists, for calls posted to the
  // user-interface thread that may run after it is gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

  std::string version_ = "1.23";
  int cache_size_ = 4 * 1024 * 1024;
  bool xattr_warning_done_ = false;

  std::vector<TFEntry*> file_entries_;
  std::vector<TDEntry*> dir_entries_;
  std::vector<TDEntry*> iso_dir_order_;
  std::vector<TDEntry*> joliet_dir_order_;
  int file_count_ = 0;
  int dir_count_ = 0;
  int max_files_ = 0;
  int max_dirs_ = 0;
  RecordPool<TDEntry> dir_pool_;
  RecordPool<TFEntry> file_pool_;
  // The source folders of the entries (TFEntry::SourceFolder), in the order
  // they were added; elements never move. Emptied with the compilation.
  std::deque<std::string> source_folders_;
  TreeIndex index_;
  std::unordered_map<const TDEntry*, TFEntry*> last_child_;
  // Records deleted but not yet taken out of the arrays (see CompactArrays).
  std::vector<TDEntry*> dead_dirs_;
  std::vector<TFEntry*> dead_files_;
  // Device and inode of the folders an AddFolderTo walk is inside.
  std::vector<std::pair<uint64_t, uint64_t>> walk_stack_;
  // Lists the folders of the walk under way ahead of it (see AddFolderTo).
  std::unique_ptr<FolderPrefetcher> prefetch_;
  // Offsets from Greenwich by local hour, for RecordDateOf.
  std::unordered_map<int64_t, int16_t> offset_by_hour_;
  // Set by BuildImageHeader: whether ImageStream holds the whole head, and
  // the date of the directories' "." and ".." records.
  bool head_extents_in_stream_ = true;
  RecordDate head_date_{};
};

}  // namespace zamo
