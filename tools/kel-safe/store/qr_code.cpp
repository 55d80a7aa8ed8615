#include "qr_code.h"

#include <errno.h>
#include <qrencode.h>
#include <unistd.h>

#include <memory>
#include <optional>

#include "entry_selection.h"
#include "status.h"
#include "streams.h"
#include "value_line.h"

namespace kel::tool {

namespace {

// The most a QR code holds at level M, in byte mode (version 40).
constexpr std::size_t kMostBytes = 2331;
constexpr int kQuietZone = 4;

// The symbol's modules follow the value: they are wiped before the
// library frees them.
struct FreeSymbol {
  void operator()(QRcode* symbol) const {
    wipe(symbol->data, static_cast<std::size_t>(symbol->width) *
                           static_cast<std::size_t>(symbol->width));
    QRcode_free(symbol);
  }
};

}  // namespace

Secret draw_qr_code(std::string_view value, const std::string& what) {
  if (value.empty()) throw Failure(kRejected, what + ": nothing to draw: the text is empty");
  if (value.size() > kMostBytes) {
    throw Failure(kRejected, what + ": the value is " + std::to_string(value.size()) +
                                 " bytes long, more than a QR code holds (" +
                                 std::to_string(kMostBytes) + " bytes at error correction "
                                 "level M)");
  }
  errno = 0;
  const std::unique_ptr<QRcode, FreeSymbol> symbol(QRcode_encodeData(
      static_cast<int>(value.size()), reinterpret_cast<const unsigned char*>(value.data()), 0,
      QR_ECLEVEL_M));
  if (!symbol) {
    throw Failure(errno == ERANGE ? kRejected : kInternal,
                  what + ": cannot make a QR code of the value (" +
                      (errno == ERANGE ? std::string("too long") : std::string("failed")) + ")");
  }
  const int modules = symbol->width;
  const int side = modules + 2 * kQuietZone;
  // Dark: bit 0 of the symbol's byte; the quiet zone and below the last
  // row are light.
  const auto dark = [&symbol, modules](int row, int column) {
    row -= kQuietZone;
    column -= kQuietZone;
    if (row < 0 || column < 0 || row >= modules || column >= modules) return false;
    return (symbol->data[row * modules + column] & 1) != 0;
  };
  Secret drawing(static_cast<std::size_t>((side + 1) / 2) *
                 (static_cast<std::size_t>(side) * 3 + 16));
  for (int row = 0; row < side; row += 2) {
    static constexpr std::string_view kColours = "\x1b[30;47m";  // black on white
    static constexpr std::string_view kReset = "\x1b[0m\n";
    drawing.append(kColours.data(), kColours.size());
    for (int column = 0; column < side; ++column) {
      const bool top = dark(row, column);
      const bool bottom = dark(row + 1, column);
      // U+2588 full block, U+2580 upper half, U+2584 lower half: drawn in
      // the dark colour over the light ground.
      const std::string_view cell = top && bottom ? "\u2588"
                                    : top         ? "\u2580"
                                    : bottom      ? "\u2584"
                                                  : " ";
      drawing.append(cell.data(), cell.size());
    }
    drawing.append(kReset.data(), kReset.size());
  }
  return drawing;
}

int cmd_get_qr(const Context& context, const std::string& name, bool force, std::size_t line) {
  require_store(context);
  const std::string path = store_file(context.store);
  const std::string what = "get " + quoted(name);
  // Before the password is asked.
  if (!force && isatty(data_fd()) != 1) {
    throw Failure(kUsage, what + ": standard output is not a terminal, and a QR code drawn "
                                 "into a file or pipe is the value for whoever reads it "
                                 "(--force draws it there all the same)");
  }
  SafeHandle safe = open_safe(context, what);
  const std::vector<kel::Entry> entries = read_entries(*safe, {name}, what, path);
  const std::string_view value = value_or_line(entries.front().value(), line, what, name);
  const Secret drawing = draw_qr_code(value, what);
  write_data(drawing.view());
  return kOk;
}

}  // namespace kel::tool
