#pragma once

#include <memory>

#include "pattern/Mat_gen.h"
#include "platform/Forms.h"
#include "platform/Widgets.h"

// The projection window "Velkar": one image filling its client area, whose
// bitmap the raster generator paints. Hidden until the main window shows it.
class TForm2 : public TForm {
 public:
  static constexpr int ClientWidth = 1016;
  static constexpr int ClientHeight = 734;

  explicit TForm2(QWidget* Parent = nullptr);
  ~TForm2() override;

  // Brings the main window back; a scan in progress goes on.
  void Image1Click();
  // Moves the window's outer corner onto the second monitor's top-left corner.
  void Image1DblClick();
  // Releases the raster generator; MatGen is null afterwards.
  void ReleaseMatGen();

  // Owned by the form (Qt parent).
  TImage* Image1 = nullptr;  // the whole client area: the pattern on the projector

 protected:
  // Creates MatGen over Image1 with the start-up raster on a black field.
  void FormCreate() override;

 private:
  // MatGen refers to it while it lives.
  std::unique_ptr<TMatGen> FMatGen;
};

extern TForm2* Form2;  // the projection window
