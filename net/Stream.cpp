#include "net/Stream.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace chronark {

void TStream::WriteBuffer(const void* Buffer, int64_t Count)
{
    if (Count > 0 && Write(Buffer, Count) != Count)
        throw EStreamError("Stream write error");
}

void TStream::ReadBuffer(void* Buffer, int64_t Count)
{
    if (Count > 0 && Read(Buffer, Count) != Count)
        throw EStreamError("Stream read error");
}

int64_t TStream::Size()
{
    const int64_t Pos = Seek(0, TSeekOrigin::soCurrent);
    const int64_t End = Seek(0, TSeekOrigin::soEnd);
    Seek(Pos, TSeekOrigin::soBeginning);
    return End;
}

int64_t TMemoryStream::Read(void* Buffer, int64_t Count)
{
    const int64_t Avail = static_cast<int64_t>(FData.size()) - FPosition;
    const int64_t N = std::clamp<int64_t>(Count, 0, std::max<int64_t>(Avail, 0));
    if (N > 0) {
        std::memcpy(Buffer, FData.data() + FPosition, static_cast<size_t>(N));
        FPosition += N;
    }
    return N;
}

int64_t TMemoryStream::Write(const void* Buffer, int64_t Count)
{
    if (Count <= 0)
        return 0;
    const int64_t End = FPosition + Count;
    if (FMaxSize >= 0 && End > FMaxSize)
        return 0;
    if (End > static_cast<int64_t>(FData.size())) {
        // Grow geometrically: a document arrives in many small chunks.
        if (End > static_cast<int64_t>(FData.capacity()))
            FData.reserve(std::max<size_t>(static_cast<size_t>(End), FData.capacity() * 2));
        FData.resize(static_cast<size_t>(End));
    }
    std::memcpy(FData.data() + FPosition, Buffer, static_cast<size_t>(Count));
    FPosition = End;
    return Count;
}

int64_t TMemoryStream::Seek(int64_t Offset, TSeekOrigin Origin)
{
    int64_t Base = 0;
    if (Origin == TSeekOrigin::soCurrent)
        Base = FPosition;
    else if (Origin == TSeekOrigin::soEnd)
        Base = static_cast<int64_t>(FData.size());
    FPosition = std::max<int64_t>(0, Base + Offset);
    return FPosition;
}

void TMemoryStream::Clear()
{
    FData.clear();
    FData.shrink_to_fit();
    FPosition = 0;
}

void TMemoryStream::SetSize(int64_t NewSize)
{
    FData.resize(static_cast<size_t>(std::max<int64_t>(NewSize, 0)));
    FPosition = std::min<int64_t>(FPosition, static_cast<int64_t>(FData.size()));
}

std::string_view TMemoryStream::View() const
{
    return {reinterpret_cast<const char*>(FData.data()), FData.size()};
}

void TMemoryStream::SaveToFile(const std::string& FileName) const
{
    std::FILE* F = std::fopen(FileName.c_str(), "wb");
    if (!F)
        throw EStreamError("Cannot create file " + FileName);
    const bool Ok = FData.empty() || std::fwrite(FData.data(), 1, FData.size(), F) == FData.size();
    if (std::fclose(F) != 0 || !Ok)
        throw EStreamError("Unable to write to " + FileName);
}

TStringStream::TStringStream(std::string_view Data)
{
    Write(Data.data(), static_cast<int64_t>(Data.size()));
    SetPosition(0);
}

}  // namespace chronark
