# Sourced by the demo and the bench scripts. corvex_registry_base SERVER DATABASE DIR GROUP
# prints the registry file that points the service at a database (SERVER "." = the local
# socket), its console socket DIR/console.sock guarded by GROUP, and the messaging directory
# DIR/messaging (made by corvex-nats init). A caller appends keys of its own after it.
corvex_registry_base() {
  cat <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvex\\KT\\Management Tools]
"ServerLocation"="$1"
"DatabaseInstance"=""
"DatabaseName"="$2"
"MessagingDirectory"="$3/messaging"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvex\\KT\\Management Tools\\Management Service]
"ConsoleSocket"="$3/console.sock"
"ConsoleAdministratorsGroup"="$4"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvex\\KT\\Management Tools\\Management Service\\Private]
"Messaging"="$3/messaging"
REG
}
