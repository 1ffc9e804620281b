#include <QColor>

#include "sdk/sim/SimJpegPadding.h"
#include "sdk/sim/SimRender.h"
#include "sdk/sim/SimScene.h"
#include "sdk/ptpip/PtpIpState.h"

using namespace PtpIpDetail;

void TPtpIpCamera::TState::DeliverRendered() {
  std::deque<TRendered> done;
  {
    std::lock_guard guard(JobLock);
    done.swap(Done);
  }
  for (TRendered& r : done) {
    TObject o;
    o.Handle = NextHandle++;
    o.Name = r.Name;
    o.Data = std::move(r.Data);
    o.Width = r.Width;
    o.Height = r.Height;
    o.Taken = QDateTime::currentDateTime();
    Card.push_back(o);
    {
      std::lock_guard guard(Lock);
      ++Stats.Photos;
      Stats.ObjectsOnCard = int(Card.size());
    }
    Say(QStringLiteral("photo %1 (%2 bytes) is object %3").arg(o.Name).arg(o.Data.size()).arg(o.Handle));
    if (Evt.Fd < 0) continue;
    if (!SendEvent(PtpCode::ObjectAdded, r.Transaction, {o.Handle}) ||
        !SendEvent(PtpCode::CaptureComplete, r.Transaction, {}))
      EndHost(QStringLiteral("lost while announcing %1").arg(o.Name));
  }
}

void TPtpIpCamera::TState::Render() {
  QByteArray plain;  // the picture of a fixed-size photo, encoded once
  while (true) {
    TRenderJob job;
    {
      std::unique_lock guard(JobLock);
      JobReady.wait(guard, [&] { return Stopping || !Jobs.empty(); });
      if (Stopping) return;
      job = std::move(Jobs.front());
      Jobs.pop_front();
    }
    TRendered r;
    r.Name = job.Name;
    r.Transaction = job.Transaction;
    const QByteArray tag = QStringLiteral("CorvaletScan emulated camera, shot %1").arg(job.Shot).toLatin1();
    std::int64_t padTo = Options.PhotoBytes;
    if (Options.HugePhotoAt == job.Shot) padTo = std::max(padTo, Options.HugePhotoBytes);
    if (Options.PhotoBytes > 0) {
      if (plain.isEmpty()) {
        QImage grey(160, 120, QImage::Format_RGB888);
        grey.fill(QColor(SimAmbientTop, SimAmbientTop, SimAmbientTop));
        plain = SimEncodeJpeg(grey);
      }
      r.Data = SimPadJpeg(plain, padTo, tag);
      r.Width = 160;
      r.Height = 120;
    } else {
      if (job.FromScene) {
        job.Frame = Options.Scene();
        job.Exposure = SimExposureScale(job.Settings, job.Frame);
      }
      TSimOptics optics;
      optics.Exposure = job.Exposure;
      const QImage scene = SimPhotograph(job.Frame, Options.Width, Options.Height,
                                         Options.Seed ^ (std::uint32_t(job.Shot) * 0x9E3779B1u),
                                         optics, unsigned(job.Shot), &Stopping);
      if (Stopping) return;
      r.Data = SimEncodeJpeg(scene);
      r.Width = Options.Width;
      r.Height = Options.Height;
      if (padTo > r.Data.size()) r.Data = SimPadJpeg(r.Data, padTo, tag);
    }
    if (r.Data.isEmpty()) {
      Say(QStringLiteral("shot %1: the photo could not be encoded").arg(job.Shot));
      continue;
    }
    const auto due = std::max(job.Due, TClock::now() + std::chrono::milliseconds(Options.LatencyMs));
    {
      std::unique_lock guard(JobLock);
      JobReady.wait_until(guard, due, [&] { return Stopping.load(); });
      if (Stopping) return;
    }
    {
      std::lock_guard guard(JobLock);
      Done.push_back(std::move(r));
    }
    Poke();
  }
}
