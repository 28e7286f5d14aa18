#include "delta/file_reader.h"

FileReader::FileReader() = default;

FileReader::~FileReader() {
  copy_handler.reset();
  md4_hash_handler.reset();
  delta_handler.reset();
  signature_handler.reset();
}

void FileReader::setCopyHandler(ustring const& path) { copy_handler = std::make_unique<CopyHandler>(path); }

void FileReader::setMD4HashHandler(ustring& out) {
  md4_hash_handler = std::make_unique<MD4HashHandler>();
  md4_hash_handler->setResultString(out);
}

void FileReader::setSignatureHandler(ustring const& path, unsigned block_size, unsigned hash_size) {
  signature_handler = std::make_unique<SignatureHandler>(path);
  signature_handler->setBlockSize(block_size);
  signature_handler->setHashSize(hash_size);
}

void FileReader::setDeltaHandler(ustring const& delta_path, ustring const& signature_path) {
  delta_handler = std::make_unique<DeltaHandler>(delta_path, signature_path);
}

int FileReader::begin() {
  bool failed = false;
  if (copy_handler && copy_handler->begin() < 0) failed = true;
  if (delta_handler && delta_handler->begin() < 0) failed = true;
  if (signature_handler && signature_handler->begin() < 0) failed = true;
  if (md4_hash_handler && md4_hash_handler->begin() < 0) failed = true;
  return failed ? ERROR_HANDLER_CALL : 0;
}

int FileReader::update(void const* data, unsigned len) {
  bool failed = false;
  if (copy_handler && copy_handler->update(data, len) < 0) failed = true;
  if (delta_handler && delta_handler->update(data, len) < 0) failed = true;
  if (signature_handler && signature_handler->update(data, len) < 0) failed = true;
  if (md4_hash_handler && md4_hash_handler->update(data, len) < 0) failed = true;
  return failed ? ERROR_HANDLER_CALL : 0;
}

int FileReader::wait() {
  bool failed = false;
  if (copy_handler && copy_handler->wait() < 0) failed = true;
  if (delta_handler && delta_handler->wait() < 0) failed = true;
  if (signature_handler && signature_handler->wait() < 0) failed = true;
  return failed ? ERROR_HANDLER_CALL : 0;
}

int FileReader::end(bool complete) {
  bool failed = false;
  if (copy_handler && copy_handler->end() < 0) failed = true;
  if (delta_handler && delta_handler->end(complete) < 0) failed = true;
  if (signature_handler && signature_handler->end(complete) < 0) failed = true;
  if (md4_hash_handler && md4_hash_handler->end(complete) < 0) failed = true;
  return failed ? ERROR_HANDLER_CALL : 0;
}
