#pragma once

#include <cstdint>
#include <string>

#include "platform/Forms.h"

class TButton;
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

  void SpeedButton3Click();
  void SpeedButton1MouseUp(Qt::MouseButton Button, QPoint Position);
  void SpeedButton2MouseUp(Qt::MouseButton Button, QPoint Position);
  void erven1Click();
  void modr1Click();
  void zelen1Click();
  void cyan1Click();
  void magenta1Click();
  void lut1Click();
  void bl1Click();
  void ern1Click();
  // Writes the preset's texts into Target's fields; applies nothing.
  void ApplyColourPreset(TColourTarget Target, const TColourPreset& Preset);

  // All owned by the form (Qt parents).
  TGroupBox* GroupBox1 = nullptr;
  TGroupBox* GroupBox2 = nullptr;
  TGroupBox* GroupBox3 = nullptr;
  TLabeledEdit* LabeledEdit1 = nullptr;
  TLabeledEdit* LabeledEdit2 = nullptr;
  TLabeledEdit* LabeledEdit3 = nullptr;
  TLabeledEdit* LabeledEdit4 = nullptr;
  TLabeledEdit* LabeledEdit5 = nullptr;
  TLabeledEdit* LabeledEdit6 = nullptr;
  TLabeledEdit* LabeledEdit7 = nullptr;
  TLabeledEdit* LabeledEdit8 = nullptr;
  TLabeledEdit* LabeledEdit9 = nullptr;
  TLabeledEdit* LabeledEdit10 = nullptr;
  TLabeledEdit* LabeledEdit11 = nullptr;
  TLabeledEdit* LabeledEdit12 = nullptr;
  TSpeedButton* SpeedButton1 = nullptr;
  TSpeedButton* SpeedButton2 = nullptr;
  TButton* SpeedButton3 = nullptr;
  TPopupMenu* PopupMenu1 = nullptr;

 private:
  void OpenPresets(TColourTarget Target, const TGroupBox& Group, const TSpeedButton& Button);
};

extern TPointDef* PointDef;
