#include "AvrBoard.h"

#include <avr_uart.h>
#include <sim_avr.h>
#include <sim_elf.h>
#include <sim_io.h>
#include <sim_irq.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <unistd.h>

namespace pontivo {
namespace {

constexpr std::uint32_t kFrequency = 16'000'000;
constexpr char kUart = '0';
// About what a USB serial chip buffers: a program that writes more waits, one that stops reading loses the rest.
constexpr std::size_t kBufferLimit = 4096;

// simavr's notes (what the firmware loaded) go to standard output, which carries the port name alone.
void LogErrorsOnly(avr_t*, const int level, const char* format, va_list arguments)
{
    if (level <= LOG_ERROR)
        std::vfprintf(stderr, format, arguments);
}

avr_irq_t* UartIrq(avr_t* avr, int which)
{
    return avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ(kUart), which);
}

} // namespace

void AvrBoard::AvrDeleter::operator()(avr_t* avr) const
{
    avr_terminate(avr);
    std::free(avr); // allocated by avr_make_mcu_by_name
}

AvrBoard::AvrBoard(const std::string& firmwarePath, const SimulatedPort& port)
    : m_port(port)
{
    avr_global_logger_set(&LogErrorsOnly);
    elf_firmware_t firmware{};
    if (elf_read_firmware(firmwarePath.c_str(), &firmware) != 0)
        throw std::runtime_error("cannot read the firmware " + firmwarePath);
    firmware.frequency = kFrequency;
    m_avr.reset(avr_make_mcu_by_name("atmega328p"));
    if (!m_avr || avr_init(m_avr.get()) != 0)
        throw std::runtime_error("cannot make an atmega328p");
    avr_load_firmware(m_avr.get(), &firmware);
    std::free(firmware.flash); // copied into the MCU's flash
    // The sketch runs at wall-clock pace (see main.cpp), so a sleeping MCU needs no extra wait.
    m_avr->sleep = [](avr_t*, avr_cycle_count_t) {};
    avr_irq_register_notify(UartIrq(m_avr.get(), UART_IRQ_OUTPUT), &AvrBoard::OnUartOutput, this);
    avr_irq_register_notify(UartIrq(m_avr.get(), UART_IRQ_OUT_XON), &AvrBoard::OnUartXon, this);
    avr_irq_register_notify(UartIrq(m_avr.get(), UART_IRQ_OUT_XOFF), &AvrBoard::OnUartXoff, this);
    m_uartInput = UartIrq(m_avr.get(), UART_IRQ_INPUT);
    QuietUartConsole();
}

AvrBoard::~AvrBoard() = default;

bool AvrBoard::Run(std::uint64_t cycles)
{
    const avr_cycle_count_t end = m_avr->cycle + cycles;
    while (m_avr->cycle < end) {
        const int state = avr_run(m_avr.get());
        if (state == cpu_Done || state == cpu_Crashed)
            return false;
    }
    ReadPort();
    FeedUart();
    WritePort();
    return true;
}

void AvrBoard::Reset()
{
    avr_reset(m_avr.get());
    m_uartAccepts = true;
    QuietUartConsole();
}

std::uint64_t AvrBoard::Cycle() const
{
    return m_avr->cycle;
}

std::uint32_t AvrBoard::Frequency() const
{
    return m_avr->frequency;
}

void AvrBoard::OnUartOutput(avr_irq_t*, std::uint32_t value, void* self)
{
    auto& board = *static_cast<AvrBoard*>(self);
    if (board.m_fromUart.size() < kBufferLimit)
        board.m_fromUart.push_back(static_cast<char>(value));
}

void AvrBoard::OnUartXon(avr_irq_t*, std::uint32_t, void* self)
{
    static_cast<AvrBoard*>(self)->m_uartAccepts = true;
}

void AvrBoard::OnUartXoff(avr_irq_t*, std::uint32_t, void* self)
{
    static_cast<AvrBoard*>(self)->m_uartAccepts = false;
}

// simavr also prints what the UART sends on its own standard output unless told not to.
void AvrBoard::QuietUartConsole()
{
    std::uint32_t flags = 0;
    avr_ioctl(m_avr.get(), AVR_IOCTL_UART_GET_FLAGS(kUart), &flags);
    flags &= ~std::uint32_t{AVR_UART_FLAG_STDIO};
    avr_ioctl(m_avr.get(), AVR_IOCTL_UART_SET_FLAGS(kUart), &flags);
}

void AvrBoard::ReadPort()
{
    char buffer[256];
    if (m_toUart.size() >= kBufferLimit)
        return; // the rest waits in the pty
    const ssize_t n = ::read(m_port.Master(), buffer, sizeof buffer);
    if (n > 0)
        m_toUart.append(buffer, static_cast<std::size_t>(n));
}

void AvrBoard::FeedUart()
{
    std::size_t fed = 0;
    // XOFF comes back from inside avr_raise_irq once the UART's buffer is full.
    while (m_uartAccepts && fed < m_toUart.size())
        avr_raise_irq(m_uartInput, static_cast<std::uint8_t>(m_toUart[fed++]));
    m_toUart.erase(0, fed);
}

void AvrBoard::WritePort()
{
    if (m_fromUart.empty())
        return;
    if (!m_port.PeerOpen()) {
        m_fromUart.clear(); // nobody has the port open: the bytes go nowhere, as from a real board
        return;
    }
    const ssize_t n = ::write(m_port.Master(), m_fromUart.data(), m_fromUart.size());
    if (n > 0)
        m_fromUart.erase(0, static_cast<std::size_t>(n));
}

} // namespace pontivo
