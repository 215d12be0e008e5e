#pragma once

#include <QWidget>

#include <cstdint>
#include <vector>

class QTimer;
class SimDevice;

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

    std::vector<SimDevice*> m_devices;
    QTimer* m_timer = nullptr;
    std::uint64_t m_shownVersion = 0;
    std::int64_t m_paintedNs = 0;
};
