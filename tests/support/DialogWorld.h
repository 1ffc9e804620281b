#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dialogs/Pdef.h"
#include "pattern/Mat_gen.h"
#include "pattern/obraz.h"
#include "platform/Widgets.h"
#include "session/Koordinator.h"

namespace Station {

// The station's world for the settings dialog alone, fresh per test. What the
// settings dialog works on, made as the program makes it: the
// projection window with the start-up raster, a coordinator logging into a
// memo, and the dialog itself, shown. The globals point at them while it lives.
class TDialogWorld {
 public:
  TDialogWorld();
  ~TDialogWorld();

  TLabeledEdit& Field(const std::string& Name) const;
  // Replaces the field's text by typing it, as the operator does.
  void Type(const std::string& Name, const std::string& Text) const;
  // Clicks "Použít" with the mouse.
  void Apply() const;

  std::vector<std::string> LogMessages() const;
  // The projection bitmap's pixel as 0x00RRGGBB.
  std::uint32_t Pixel(int Row, int Column) const;
  // Tells one picture from another without copying it.
  std::uint64_t BitmapChecksum() const;
  TBitmap& Bitmap() const;

  std::unique_ptr<TForm2> Projection;
  std::unique_ptr<TMatGen> Generator;
  std::unique_ptr<TForm> LogWindow;
  TMemo* Memo = nullptr;
  std::unique_ptr<TKoordinator> Coordinator;
  std::unique_ptr<TPointDef> Dialog;
};

// MatGen's raster, field by field, for before-and-after comparisons.
struct TRasterState {
  std::int32_t OffsetX, OffsetY, RowCount, ColumnCount;
  std::uint8_t PointSize;
  std::int32_t Spacing;
  std::uint32_t Background, PointColour;
  bool HasTable;

  static TRasterState Of(const TMatGen& Generator);
  friend bool operator==(const TRasterState&, const TRasterState&) = default;
};

// Runs Action from the modal loop of the next ShowModal.
void WhenModal(std::function<void()> Action);

}  // namespace Station
