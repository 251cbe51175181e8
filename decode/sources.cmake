# decode: the block decoder, the cipher, SHA-256 and the password key derivation.
list(APPEND KESTREL_CORE_SOURCES
  decode/cipher.cpp decode/password.cpp decode/sha256.cpp decode/tsmufflz.cpp)
