// writer_thread.h: TThWrite, the thread that carries out one writing job: it
// takes the image block by block from the read-ahead cache and writes it to
// an image file (or, with the drive layer, to a recorder), then reports the
// outcome once through the component's OnWriteDone, on the user-interface
// thread. It frees itself when it ends, and frees the cache thread.
//
// The body runs start, transfer, closing and finishing phases; the recorder's
// preparation and closing plug into the same body.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "burner/platform/status.h"
#include "burner/platform/thread.h"
#include "burner/writing/stream_ex.h"

namespace zamo {

class TVeskBurner;
class TCacheThread;
struct TCacheBlock;

class TThWrite : public TThread {
 public:
  // Borrows `burner`, which must stay alive until OnWriteDone has come.
  TThWrite(TVeskBurner& burner, bool to_file);

  const bool ToFile;

 protected:
  void Execute() override;

 private:
  // Fails the job: aborts the cache and makes `text` its error.
  void Fail(const std::string& text);
  void TransferLoop();
  // Writes the blocks, in order, to the image file with as few calls as
  // the system allows; every byte is checked.
  Status WriteToFile(const std::vector<std::unique_ptr<TCacheBlock>>& blocks);
  void Finish();

  TVeskBurner& burner_;
  TCacheThread& cache_;
  std::unique_ptr<TFileStreamEx> file_;
  int64_t file_offset_ = 0;
};

}  // namespace zamo
