// Conversion between the agent's UTF-8 wire texts and the desktop program's local texts.
//
// The local character set is that of the text encoding KESTYL_TEXT_ENCODING (as the agent
// reads it): "gb2312" (simplified Chinese), "big5" (traditional Chinese); anything else,
// and unset, means the texts are UTF-8 already (file names on Linux are), so both
// directions copy the text unchanged: converting paths to GB2312 or BIG5 here would name
// files that do not exist.
//
//   encoding  ConvertToUtf8ByLanguage               ConvertFromUtf8ByLanguage
//   gb2312    from GB2312; empty result: from BIG5   to GB2312; empty result: to BIG5
//   big5      from BIG5                              to BIG5; empty result: to GB2312
//   other     copy                                   copy
//
// The conversion is common/text's ConvertCode (a text that does not convert comes back
// unchanged). Both take a NUL-terminated text and return a new one allocated with malloc,
// which the caller frees with free(); null for a null text or when memory runs out.
#pragma once

char* ConvertToUtf8ByLanguage(const char* text);
char* ConvertFromUtf8ByLanguage(const char* text);
