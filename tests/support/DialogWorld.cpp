#include "tests/support/DialogWorld.h"

#include <gtest/gtest.h>

#include <QTest>
#include <QTimer>
#include <cstring>

#include "platform/Application.h"
#include "tests/support/Station.h"

namespace Station {

TDialogWorld::TDialogWorld() {
  Projection = std::make_unique<TForm2>();
  Generator = TMatGen::Create(Projection->Image1->Data());
  Generator->SetGeometry(10, 10, 80, 120, 3, 8, 0x000000, 0x00FF00);
  Generator->FillField(0);
  MatGen = Generator.get();
  Form2 = Projection.get();
  LogWindow = std::make_unique<TForm>();
  LogWindow->SetClientSize(387, 345);
  Memo = new TMemo(LogWindow.get(), "Memo1", QRect(0, 0, 385, 345));
  Coordinator = std::make_unique<TKoordinator>(Memo);
  Koordinator = Coordinator.get();
  Dialog = std::make_unique<TPointDef>();
  PointDef = Dialog.get();
  Dialog->show();
  EXPECT_TRUE(QTest::qWaitForWindowExposed(Dialog.get()));
}

TDialogWorld::~TDialogWorld() {
  PointDef = nullptr;
  Koordinator = nullptr;
  Form2 = nullptr;
  MatGen = nullptr;
}

TLabeledEdit& TDialogWorld::Field(const std::string& Name) const {
  auto* field = Dialog->findChild<TLabeledEdit*>(QString::fromStdString(Name));
  if (field == nullptr) throw std::logic_error("No field " + Name);
  return *field;
}

void TDialogWorld::Type(const std::string& Name, const std::string& Text) const {
  TLabeledEdit& field = Field(Name);
  field.setFocus();
  QTest::keyClick(&field, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(&field, Qt::Key_Delete);
  QTest::keyClicks(&field, QString::fromStdString(Text));
  EXPECT_EQ(field.Text(), Text);
}

void TDialogWorld::Apply() const {
  auto* button = Dialog->findChild<TButton*>("SpeedButton3");
  if (button == nullptr) throw std::logic_error("No SpeedButton3");
  QTest::mouseClick(button, Qt::LeftButton);
}

std::vector<std::string> TDialogWorld::LogMessages() const {
  return Station::LogMessages(Memo);
}

std::uint32_t TDialogWorld::Pixel(int Row, int Column) const {
  const std::uint8_t* pixel =
      Projection->Image1->Picture().Bitmap().ScanLine(Row) + 3 * std::size_t(Column);
  return std::uint32_t(pixel[2]) << 16 | std::uint32_t(pixel[1]) << 8 | pixel[0];
}

TBitmap& TDialogWorld::Bitmap() const {
  return Projection->Image1->Picture().Bitmap();
}

std::uint64_t TDialogWorld::BitmapChecksum() const {
  const TBitmap& bitmap = Bitmap();
  const std::size_t size = std::size_t(bitmap.BytesPerLine()) * std::size_t(bitmap.Height());
  // FNV-1a over 64-bit words; rows are padded to 4 bytes, so a tail may remain.
  std::uint64_t hash = 0xcbf29ce484222325u;
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bitmap.Bits() + i, 8);
    hash = (hash ^ word) * 0x100000001b3u;
  }
  for (; i < size; ++i) hash = (hash ^ bitmap.Bits()[i]) * 0x100000001b3u;
  return hash;
}

TRasterState TRasterState::Of(const TMatGen& Generator) {
  return {Generator.OffsetX(),
          Generator.OffsetY(),
          Generator.RowCount(),
          Generator.ColumnCount(),
          Generator.PointSize(),
          Generator.Spacing(),
          Generator.BackgroundColour().Value(),
          Generator.PointColour().Value(),
          Generator.CodeTable() != nullptr};
}

void WhenModal(std::function<void()> Action) {
  QTimer::singleShot(0, [Action = std::move(Action)] { Action(); });
}

}  // namespace Station
