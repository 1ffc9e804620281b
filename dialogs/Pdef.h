#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/Forms.h"

class QLabel;
class TButton;
class TMatGen;
class TGroupBox;
class TLabeledEdit;
class TPopupMenu;
class TSpeedButton;

// Which group's colour fields the presets menu fills.
enum class TColourTarget { Points, Background };

// Set by the two "Předvolby" buttons just before the menu opens; shared by the whole process.
extern TColourTarget ColourTarget;

// The three texts a preset writes into the fields "Červená", "Modrá", "Zelená", in that order.
struct TColourPreset {
  const char* Red;
  const char* Blue;
  const char* Green;
};

// Takes [blanks][+|-]digits[blanks], blanks being spaces or tabs, within int32; else throws.
std::int32_t StrToInt(const std::string& Text);

// The raster settings dialog: twelve fields that "Použít" applies to MatGen at
// once, and a menu of colour presets for either colour group.
class TPointDef : public TForm {
 public:
  explicit TPointDef(QWidget* Parent = nullptr);
  ~TPointDef() override;

  // Largest rows x columns passed on; point codes are 14 bits long.
  static constexpr std::int64_t MaxRasterPoints = 16384;
  static constexpr char InvalidValuesText[] = "Špatně vyplněné hodnoty !";

  // "Použít": applies the twelve fields, then logs the raster projected after the
  // generator's corrections. A field that is wrong is named in Label1 and marked;
  // a refused raster leaves the one in force.
  void SpeedButton3Click();
  // The two "Předvolby" buttons: open the presets menu for the point / background colour.
  void SpeedButton1MouseUp(Qt::MouseButton Button, QPoint Position);
  void SpeedButton2MouseUp(Qt::MouseButton Button, QPoint Position);
  // The presets menu's items, each a colour for the group whose button opened it.
  void erven1Click();    // "červená": red
  void modr1Click();     // "modrá": blue
  void zelen1Click();    // "zelená": green
  void cyan1Click();     // "cyan"
  void magenta1Click();  // "magenta"
  void lut1Click();      // "žlutá": yellow
  void bl1Click();       // "bílá": white
  void ern1Click();      // "černá": black
  // Writes the preset's texts into Target's fields; applies nothing.
  void ApplyColourPreset(TColourTarget Target, const TColourPreset& Preset);

  // Twelve values in the order of LabeledEdit1..12.
  using TFieldValues = std::array<std::int32_t, 12>;
  // The values that give Generator's raster exactly, as it projects it.
  static TFieldValues ValuesOf(const TMatGen& Generator);
  // Generator's geometry as the log gives it: "LHX 10, LHY 10, řádků 80, ...".
  static std::string RasterText(const TMatGen& Generator);
  // Writes Values into the twelve fields and applies them as "Použít" does.
  // False when they were refused; the raster in force and the fields' texts then stay.
  bool ApplyValues(const TFieldValues& Values);

  // All owned by the form (Qt parents).
  TGroupBox* GroupBox1 = nullptr;         // "Geometrie"
  TGroupBox* GroupBox2 = nullptr;         // "Barva bodů": the points' colour
  TGroupBox* GroupBox3 = nullptr;         // "Barva pozadí": the background's colour
  TLabeledEdit* LabeledEdit1 = nullptr;   // "LHX": x of the raster's top-left point, pixels
  TLabeledEdit* LabeledEdit2 = nullptr;   // "LHY": y of the raster's top-left point, pixels
  TLabeledEdit* LabeledEdit3 = nullptr;   // "Řádků": rows
  TLabeledEdit* LabeledEdit4 = nullptr;   // "Sloupců": columns
  TLabeledEdit* LabeledEdit5 = nullptr;   // "Velikost": side of a point's square, pixels
  TLabeledEdit* LabeledEdit6 = nullptr;   // "Odstup": pixels from one point to the next
  TLabeledEdit* LabeledEdit7 = nullptr;   // points' "Červená": red 0-255
  TLabeledEdit* LabeledEdit8 = nullptr;   // points' "Modrá": blue
  TLabeledEdit* LabeledEdit9 = nullptr;   // points' "Zelená": green
  TLabeledEdit* LabeledEdit10 = nullptr;  // background's "Červená": red
  TLabeledEdit* LabeledEdit11 = nullptr;  // background's "Modrá": blue
  TLabeledEdit* LabeledEdit12 = nullptr;  // background's "Zelená": green
  TSpeedButton* SpeedButton1 = nullptr;   // points' "Předvolby": colour presets
  TSpeedButton* SpeedButton2 = nullptr;   // background's "Předvolby"
  TButton* SpeedButton3 = nullptr;        // "Použít": apply to the raster generator
  TPopupMenu* PopupMenu1 = nullptr;       // the colour presets, erven1..ern1
  QLabel* Label1 = nullptr;               // why "Použít" refused the fields, empty otherwise

 protected:
  // A refusal shown at an earlier opening is gone; the fields keep their texts.
  void showEvent(QShowEvent* Event) override;

 private:
  // Applies the twelve fields; false when they were refused.
  bool Apply();
  TLabeledEdit* FieldAt(std::size_t Index) const;
  // Marks field Index (of LabeledEdit1..12) as wrong and clears the others; 12 marks none.
  void MarkField(std::size_t Index);
  // Shows the refusal in Label1 naming field Index (none when 12), marks and
  // focuses it, and logs the refusal.
  void Refuse(std::size_t Index);
  void OpenPresets(TColourTarget Target, const TGroupBox& Group, const TSpeedButton& Button);
};

extern TPointDef* PointDef;  // the raster settings dialog
