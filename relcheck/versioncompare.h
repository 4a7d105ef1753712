// Comparing version texts of dot-separated integer parts (major, minor,
// release, build), and the integer conversion the comparison relies on.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace chronark::relcheck {

// Leading blanks, an optional sign, then decimal digits fitting a signed
// 32-bit integer or hexadecimal digits (at most eight) after "$", "x", "X",
// "0x" or "0X"; nothing may follow. Anything else, the empty text included,
// throws EConvertError "'<S>' is not a valid integer value".
int32_t StrToInt(std::string_view S);

// True when Candidate is strictly newer than Current, comparing part by part
// and at most four parts deep; a part is converted only when the decision
// needs it, the candidate's part first. Throws EConvertError (see StrToInt).
bool IsNewerVersion(std::string_view Candidate, std::string_view Current);

}  // namespace chronark::relcheck
