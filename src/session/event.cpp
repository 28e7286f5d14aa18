#include "session/event.h"

#include <string>
#include <utility>

Event::Event()
    : m_type(EV_EMPTY),
      m_mode(0),
      m_sync_id(0),
      m_max_id(0),
      m_data_size(0),
      m_time(0),
      m_mac_attr_size(0),
      m_sess_id(0),
      m_exec_bit(0) {}

Event::Event(const Event& other) = default;
Event& Event::operator=(const Event& other) = default;
Event::~Event() = default;

void Event::clear() {
  m_type = EV_EMPTY;
  m_mode = 0;
  m_sync_id = 0;
  m_max_id = 0;
  m_data_size = 0;
  m_time = 0;
  m_data_hash.clear();
  m_path.clear();
  m_opt.clear();
  m_mac_attr_hash.clear();
  m_mac_attr_size = 0;
  m_sess_id = 0;
  m_exec_bit = 0;
}

void Event::swap(Event& other) noexcept {
  using std::swap;
  swap(m_type, other.m_type);
  swap(m_mode, other.m_mode);
  swap(m_sync_id, other.m_sync_id);
  swap(m_max_id, other.m_max_id);
  swap(m_data_size, other.m_data_size);
  swap(m_time, other.m_time);
  m_data_hash.swap(other.m_data_hash);
  m_path.swap(other.m_path);
  m_opt.swap(other.m_opt);
  m_mac_attr_hash.swap(other.m_mac_attr_hash);
  swap(m_mac_attr_size, other.m_mac_attr_size);
  swap(m_sess_id, other.m_sess_id);
  swap(m_exec_bit, other.m_exec_bit);
}

ustring Event::toString() const {
  static const char* const kTypeNames[] = {"EV_EMPTY", "EV_ADD", "EV_REMOVE", "EV_MODIFY",
                                           "EV_RENAME"};
  std::string type_name;
  if (m_type >= EV_EMPTY && m_type <= EV_RENAME) {
    type_name = kTypeNames[m_type];
  } else {
    // A corrupt record must still be loggable.
    type_name = std::to_string(static_cast<int32_t>(m_type));
  }

  std::string out;
  out.reserve(64 + m_path.size() + m_opt.size() + m_data_hash.size());
  out += "Event<";
  out += type_name;
  if (m_type == EV_RENAME) {
    out += ">: from '";
    out += m_path.c_str_utf8();
    out += "', to '";
    out += m_opt.c_str_utf8();
    out += "'";
  } else {
    out += ">: [";
    out += std::to_string(m_sync_id);
    out += "] ";
    out += m_path.c_str_utf8();
    out += (m_mode & F_SERVER) ? " (server" : " (local";
    out += (m_mode & F_DIR) ? ",dir" : ",file";
    if (m_mode & F_EXPAND) out += ",expand";
    out += ")";
  }
  if ((m_mode & F_DIR) == 0) {
    out += " size = ";
    out += std::to_string(m_data_size);
    out += ", hash = ";
    out += m_data_hash.c_str_utf8();
  }
  return ustring(out);
}
