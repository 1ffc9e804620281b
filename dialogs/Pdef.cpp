#include "dialogs/Pdef.h"

#include <QLabel>
#include <QShowEvent>

#include <charconv>
#include <exception>
#include <stdexcept>

#include "pattern/Mat_gen.h"
#include "pattern/obraz.h"
#include "platform/Application.h"
#include "platform/Widgets.h"
#include "session/Koordinator.h"

TPointDef* PointDef = nullptr;
TColourTarget ColourTarget = TColourTarget::Background;

namespace {

constexpr TColourPreset Red{"255", "0", "0"};
constexpr TColourPreset Blue{"0", "255", "0"};
constexpr TColourPreset Green{"0", "0", "255"};
constexpr TColourPreset Cyan{"0", "255", "255"};
constexpr TColourPreset Magenta{"255", "255", "0"};
constexpr TColourPreset Yellow{"255", "0", "255"};
constexpr TColourPreset White{"255", "255", "255"};
constexpr TColourPreset Black{"0", "0", "0"};

bool IsBlank(char C) {
  return C == ' ' || C == '\t';
}

std::uint32_t Colour(std::int32_t Red, std::int32_t Green, std::int32_t Blue) {
  // Only the low 8 bits of each component count: 256 gives 0, -1 gives 255.
  return (std::uint32_t(Red) & 0xFF) << 16 | (std::uint32_t(Green) & 0xFF) << 8 |
         (std::uint32_t(Blue) & 0xFF);
}

std::int32_t FieldValue(const TLabeledEdit& Field) {
  return StrToInt(Field.Text());
}

}  // namespace

std::int32_t StrToInt(const std::string& Text) {
  std::size_t begin = 0;
  std::size_t end = Text.size();
  while (begin < end && IsBlank(Text[begin])) ++begin;
  while (end > begin && IsBlank(Text[end - 1])) --end;
  // from_chars takes a '-' but no '+'.
  if (begin < end && Text[begin] == '+' && begin + 1 < end && Text[begin + 1] != '-') ++begin;
  std::int32_t value = 0;
  const char* first = Text.data() + begin;
  const char* last = Text.data() + end;
  const auto [stop, error] = std::from_chars(first, last, value, 10);
  if (first == last || error != std::errc() || stop != last)
    throw std::invalid_argument("'" + Text + "' is not a 32-bit whole number");
  return value;
}

TPointDef::TPointDef(QWidget* Parent) : TForm(Parent) {
  setObjectName("PointDef");
  SetCaption("Nastavení rastru bodů");
  // Wide enough for the whole title beside a window manager's buttons.
  SetClientSize(265, 593);
  SetBorderStyle(TBorderStyle::bsDialog);

  GroupBox1 = new TGroupBox(this, "GroupBox1", "Geometrie", QRect(8, 8, 249, 185));
  const auto field = [](TGroupBox* Group, const char* Name, const char* Caption, int Top,
                        const char* Text) {
    return new TLabeledEdit(Group, Name, Caption, QRect(128, Top, 105, 21), Text);
  };
  LabeledEdit1 = field(GroupBox1, "LabeledEdit1", "LHX", 16, "5");
  LabeledEdit2 = field(GroupBox1, "LabeledEdit2", "LHY", 40, "5");
  LabeledEdit3 = field(GroupBox1, "LabeledEdit3", "Řádků", 72, "100");
  LabeledEdit4 = field(GroupBox1, "LabeledEdit4", "Sloupců", 96, "100");
  LabeledEdit5 = field(GroupBox1, "LabeledEdit5", "Velikost", 128, "2");
  LabeledEdit6 = field(GroupBox1, "LabeledEdit6", "Odstup", 152, "7");

  GroupBox2 = new TGroupBox(this, "GroupBox2", "Barva bodů", QRect(8, 200, 249, 145));
  LabeledEdit7 = field(GroupBox2, "LabeledEdit7", "Červená", 24, "0");
  LabeledEdit8 = field(GroupBox2, "LabeledEdit8", "Modrá", 56, "0");
  LabeledEdit9 = field(GroupBox2, "LabeledEdit9", "Zelená", 88, "255");
  SpeedButton1 = new TSpeedButton(GroupBox2, "SpeedButton1", "Předvolby", QRect(8, 112, 233, 25));

  GroupBox3 = new TGroupBox(this, "GroupBox3", "Barva pozadí", QRect(8, 352, 249, 145));
  LabeledEdit10 = field(GroupBox3, "LabeledEdit10", "Červená", 24, "0");
  LabeledEdit11 = field(GroupBox3, "LabeledEdit11", "Modrá", 56, "0");
  LabeledEdit12 = field(GroupBox3, "LabeledEdit12", "Zelená", 88, "0");
  SpeedButton2 = new TSpeedButton(GroupBox3, "SpeedButton2", "Předvolby", QRect(8, 112, 233, 25));

  SpeedButton3 = new TButton(this, "SpeedButton3", "Použít", QRect(8, 504, 249, 33));
  // The refusal shows here, where the operator looks, not only in the log under the dialog.
  Label1 = new QLabel(this);
  Label1->setObjectName("Label1");
  Label1->setGeometry(8, 541, 249, 48);
  Label1->setWordWrap(true);
  Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Label1->setStyleSheet(QStringLiteral("color: #b00000"));
  SetEscapeCloses(true);
  // Enter in any field applies, as the operator expects of a dialog.
  SpeedButton3->setDefault(true);
  // Bold blue captions mark the main window's groups; here they take the dialog's plain text.
  for (TGroupBox* group : {GroupBox1, GroupBox2, GroupBox3}) {
    group->SetCaptionBold(false);
    group->SetCaptionColor(palette().color(QPalette::WindowText));
  }

  // Opened only by the "Předvolby" buttons, on the release of any mouse button.
  PopupMenu1 = new TPopupMenu(this, "PopupMenu1");
  PopupMenu1->AddItem("erven1", "červená", [this] { erven1Click(); });
  PopupMenu1->AddItem("modr1", "modrá", [this] { modr1Click(); });
  PopupMenu1->AddItem("zelen1", "zelená", [this] { zelen1Click(); });
  PopupMenu1->AddItem("cyan1", "cyan", [this] { cyan1Click(); });
  PopupMenu1->AddItem("magenta1", "magenta", [this] { magenta1Click(); });
  PopupMenu1->AddItem("lut1", "žlutá", [this] { lut1Click(); });
  PopupMenu1->AddItem("bl1", "bílá", [this] { bl1Click(); });
  PopupMenu1->AddItem("ern1", "černá", [this] { ern1Click(); });

  SpeedButton1->OnMouseUp = [this](Qt::MouseButton Button, QPoint Position) {
    SpeedButton1MouseUp(Button, Position);
  };
  SpeedButton2->OnMouseUp = [this](Qt::MouseButton Button, QPoint Position) {
    SpeedButton2MouseUp(Button, Position);
  };
  SpeedButton3->OnClick = [this] { SpeedButton3Click(); };
}

TPointDef::~TPointDef() = default;

void TPointDef::SpeedButton3Click() {
  Apply();
}

bool TPointDef::Apply() {
  // Every field is converted, in the dialog's order, before anything is applied.
  TFieldValues values{};
  for (std::size_t i = 0; i < values.size(); ++i) {
    try {
      values[i] = FieldValue(*FieldAt(i));
    } catch (const std::exception&) {
      Refuse(i);
      return false;
    }
  }
  const auto [offsetX, offsetY, rows, columns, size, spacing, pointRed, pointBlue, pointGreen,
              backgroundRed, backgroundBlue, backgroundGreen] = values;
  const std::uint32_t background = Colour(backgroundRed, backgroundGreen, backgroundBlue);
  const std::uint32_t pointColour = Colour(pointRed, pointGreen, pointBlue);

  // In 64 bits: two 32-bit counts can multiply past any 32-bit limit.
  std::int32_t cappedRows = rows;
  if (std::int64_t(rows) * columns > MaxRasterPoints)
    cappedRows = std::int32_t(MaxRasterPoints / columns);

  try {
    if (MatGen == nullptr) throw std::logic_error("No raster generator");
    MatGen->SetGeometry(offsetX, offsetY, cappedRows, columns, size, spacing, background,
                        pointColour);
  } catch (const std::exception&) {
    // The generator refuses a spacing below 1 and negative counts, and keeps the raster in force.
    Refuse(spacing < 1 ? 5 : cappedRows < 0 ? 2 : columns < 0 ? 3 : values.size());
    return false;
  }
  MarkField(values.size());
  Label1->clear();
  // What the projector throws after the generator's corrections, which may differ from the fields.
  if (Koordinator != nullptr) Koordinator->Log("Promítaný rastr: " + RasterText(*MatGen));
  MatGen->DrawAllPoints();
  if (Form2 != nullptr) Form2->Image1->Repaint();
  if (Application != nullptr) Application->ProcessMessages();
  return true;
}

void TPointDef::MarkField(std::size_t Index) {
  for (std::size_t i = 0; i < 12; ++i)
    FieldAt(i)->setStyleSheet(i == Index ? QStringLiteral("background: #ffc8c8") : QString());
}

void TPointDef::Refuse(std::size_t Index) {
  QString text = QString::fromUtf8(InvalidValuesText);
  if (Index < 12) {
    TLabeledEdit* field = FieldAt(Index);
    const auto* group = static_cast<const TGroupBox*>(field->parentWidget());
    // A value too long for the label keeps its ends; the line must show whole.
    const QString value = Label1->fontMetrics().elidedText('"' + field->text() + '"',
                                                           Qt::ElideMiddle, Label1->width());
    text += '\n' + QString::fromStdString(group->Caption()) + ", " + field->EditLabel()->text() +
            ": " + value;
    field->setFocus();
    field->selectAll();
  }
  MarkField(Index);
  Label1->setText(text);
  if (Koordinator != nullptr) Koordinator->Log(InvalidValuesText);
}

void TPointDef::showEvent(QShowEvent* Event) {
  if (!Event->spontaneous()) {
    MarkField(12);
    Label1->clear();
  }
  TForm::showEvent(Event);
}

TLabeledEdit* TPointDef::FieldAt(std::size_t Index) const {
  const std::array<TLabeledEdit*, 12> fields = {
      LabeledEdit1, LabeledEdit2, LabeledEdit3, LabeledEdit4,  LabeledEdit5,  LabeledEdit6,
      LabeledEdit7, LabeledEdit8, LabeledEdit9, LabeledEdit10, LabeledEdit11, LabeledEdit12};
  return fields.at(Index);
}

TPointDef::TFieldValues TPointDef::ValuesOf(const TMatGen& Generator) {
  const ColourTriple point = Generator.PointColour();
  const ColourTriple background = Generator.BackgroundColour();
  // A square as wide as the spacing or wider came from a negative size of the same low 8 bits.
  const std::int32_t size = Generator.PointSize() < Generator.Spacing()
                                ? Generator.PointSize()
                                : std::int32_t(Generator.PointSize()) - 256;
  return {Generator.OffsetX(),
          Generator.OffsetY(),
          Generator.RowCount(),
          Generator.ColumnCount(),
          size,
          Generator.Spacing(),
          point.Red,
          point.Blue,
          point.Green,
          background.Red,
          background.Blue,
          background.Green};
}

std::string TPointDef::RasterText(const TMatGen& Generator) {
  return "LHX " + std::to_string(Generator.OffsetX()) + ", LHY " +
         std::to_string(Generator.OffsetY()) + ", řádků " + std::to_string(Generator.RowCount()) +
         ", sloupců " + std::to_string(Generator.ColumnCount()) + ", velikost " +
         std::to_string(Generator.PointSize()) + ", odstup " + std::to_string(Generator.Spacing());
}

bool TPointDef::ApplyValues(const TFieldValues& Values) {
  std::array<std::string, 12> before;
  for (std::size_t i = 0; i < Values.size(); ++i) {
    before[i] = FieldAt(i)->Text();
    FieldAt(i)->SetText(std::to_string(Values[i]));
  }
  if (Apply()) return true;
  for (std::size_t i = 0; i < before.size(); ++i) FieldAt(i)->SetText(before[i]);
  MarkField(Values.size());
  Label1->clear();
  return false;
}

void TPointDef::OpenPresets(TColourTarget Target, const TGroupBox& Group,
                            const TSpeedButton& Button) {
  ColourTarget = Target;
  // From the window's outer corner: the frame and title bar are not added.
  PopupMenu1->Popup(frameGeometry().topLeft() + Group.pos() + Button.pos());
}

void TPointDef::SpeedButton1MouseUp(Qt::MouseButton, QPoint) {
  OpenPresets(TColourTarget::Points, *GroupBox2, *SpeedButton1);
}

void TPointDef::SpeedButton2MouseUp(Qt::MouseButton, QPoint) {
  OpenPresets(TColourTarget::Background, *GroupBox3, *SpeedButton2);
}

void TPointDef::ApplyColourPreset(TColourTarget Target, const TColourPreset& Preset) {
  const bool points = Target == TColourTarget::Points;
  (points ? LabeledEdit7 : LabeledEdit10)->SetText(Preset.Red);
  (points ? LabeledEdit8 : LabeledEdit11)->SetText(Preset.Blue);
  (points ? LabeledEdit9 : LabeledEdit12)->SetText(Preset.Green);
}

void TPointDef::erven1Click() {
  ApplyColourPreset(ColourTarget, Red);
}
void TPointDef::modr1Click() {
  ApplyColourPreset(ColourTarget, Blue);
}
void TPointDef::zelen1Click() {
  ApplyColourPreset(ColourTarget, Green);
}
void TPointDef::cyan1Click() {
  ApplyColourPreset(ColourTarget, Cyan);
}
void TPointDef::magenta1Click() {
  ApplyColourPreset(ColourTarget, Magenta);
}
void TPointDef::lut1Click() {
  ApplyColourPreset(ColourTarget, Yellow);
}
void TPointDef::bl1Click() {
  ApplyColourPreset(ColourTarget, White);
}
void TPointDef::ern1Click() {
  ApplyColourPreset(ColourTarget, Black);
}
