#pragma once

#include "../board-sim/SimulatedPort.h"

#include <cstdint>
#include <memory>
#include <string>

struct avr_t;
struct avr_irq_t;

namespace pontivo {

// An ATmega328P at 16 MHz running a compiled sketch, its UART0 wired to the master side of a pty.
class AvrBoard {
public:
    // Throws std::runtime_error with the reason when the firmware cannot be loaded.
    AvrBoard(const std::string& firmwarePath, const SimulatedPort& port);
    ~AvrBoard();
    AvrBoard(const AvrBoard&) = delete;
    AvrBoard& operator=(const AvrBoard&) = delete;

    // Runs about `cycles` CPU cycles, then moves the bytes waiting on either side. False once the
    // firmware has crashed or ended.
    bool Run(std::uint64_t cycles);
    // The reset pin: the sketch starts over, the port stays as it is.
    void Reset();
    std::uint64_t Cycle() const;
    std::uint32_t Frequency() const;

private:
    struct AvrDeleter {
        void operator()(avr_t* avr) const;
    };
    static void OnUartOutput(avr_irq_t* irq, std::uint32_t value, void* self);
    static void OnUartXon(avr_irq_t* irq, std::uint32_t value, void* self);
    static void OnUartXoff(avr_irq_t* irq, std::uint32_t value, void* self);
    void QuietUartConsole();
    void ReadPort();
    void FeedUart();
    void WritePort();

    const SimulatedPort& m_port;
    std::unique_ptr<avr_t, AvrDeleter> m_avr;
    avr_irq_t* m_uartInput = nullptr;
    bool m_uartAccepts = true; // its receive buffer is not full
    std::string m_toUart;      // bytes from the program, not yet taken by the UART
    std::string m_fromUart;    // bytes from the sketch, not yet written to the pty
};

} // namespace pontivo
