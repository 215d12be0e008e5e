#pragma once

#include <QWidget>

#include <cstdint>
#include <vector>

class QTimer;
class SimDevice;
struct SimDeviceSettings;
struct SimSnapshot;

// Shows each simulated device as a card with its panels as glowing tiles in the colours
// they currently show, with the device's name, address, model, mode and faults.
class SimWindow : public QWidget
{
    Q_OBJECT
public:
    explicit SimWindow(std::vector<SimDevice*> devices, QWidget* parent = nullptr);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private slots:
    void refresh();

private:
    void paintCard(QPainter& p, const QRectF& card, SimDevice& device);
    void paintHeading(
        QPainter& p, const QRectF& head, const SimDevice& device, const SimSnapshot& snap);
    void paintPanels(
        QPainter& p, const QRectF& area, const SimDeviceSettings& s, const SimSnapshot& snap);

    std::vector<SimDevice*> m_devices;
    QTimer* m_timer = nullptr;
    std::uint64_t m_shownVersion = 0;
    std::int64_t m_paintedNs = 0;
};
