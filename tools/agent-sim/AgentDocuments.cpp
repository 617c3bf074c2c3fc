#include "tools/agent-sim/AgentDocuments.h"

#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "platform/text/Unicode.h"
#include "tools/agent-sim/SimulatedAgent.h"

namespace agentsim {

namespace {

const char DEX_STATUS[] = R"(<?xml version="1.0" encoding="utf-8"?>
<status xmlns="http://schemas.corvex.example/KT/KTDexStatus">
  <entity>
    <productId>DEX</productId>
    <product-version>4.2.1.318</product-version>
  </entity>
  <on-access>true</on-access>
  <quarantine>2</quarantine>
  <vdl-info>
    <virus-engine-version>3.17.0</virus-engine-version>
    <virus-data-version>2024.05.02.001</virus-data-version>
    <ideChecksum>4C1D07A9</ideChecksum>
    <idelist>
      <ide>dex-2405a.ide</ide>
      <ide>dex-2405b.ide</ide>
    </idelist>
  </vdl-info>
</status>
)";

const char DEX_CONFIG[] = R"(<?xml version="1.0" encoding="utf-8"?>
<config xmlns="http://schemas.corvex.example/KT/KTDexConfiguration">
  <entity>
    <productId>DEX</productId>
    <product-version>4.2.1.318</product-version>
    <entityInfo>Corvex Anti-Virus on ${COMPUTER}</entityInfo>
  </entity>
  <onAccessScan>
    <enabled>true</enabled>
    <scanBehaviour>
      <level>normal</level>
      <archives>false</archives>
    </scanBehaviour>
    <extensions>
      <allFiles>false</allFiles>
      <excludeCorvexDefined/>
      <userDefined>
        <extension>js</extension>
      </userDefined>
      <noExtensions>true</noExtensions>
    </extensions>
    <exclusions>
      <filePathSet>
        <filePath>C:\Program Files\Corvex\</filePath>
      </filePathSet>
    </exclusions>
    <actions>
      <disinfect>true</disinfect>
      <fileAction>move</fileAction>
      <destination>C:\Quarantine</destination>
    </actions>
    <onAccess>
      <fileRead>true</fileRead>
      <fileWrite>false</fileWrite>
      <fileRename>false</fileRename>
      <accessInfectedRMBootSectors>false</accessInfectedRMBootSectors>
    </onAccess>
  </onAccessScan>
  <onDemandScan>
    <extensions>
      <allFiles>true</allFiles>
      <excludeCorvexDefined/>
      <userDefined/>
      <noExtensions>true</noExtensions>
    </extensions>
    <exclusions>
      <filePathSet/>
    </exclusions>
    <scanSet>
      <scan>
        <name>Weekly full scan</name>
        <schedule>
          <daySet>
            <day>wednesday</day>
          </daySet>
          <timeSet>
            <time>12:30:00</time>
          </timeSet>
        </schedule>
        <settings>
          <scanObjectSet>
            <CDDVDDrives>false</CDDVDDrives>
            <hardDrives>true</hardDrives>
            <networkDrives>false</networkDrives>
            <removableDrives>true</removableDrives>
          </scanObjectSet>
          <scanBehaviour>
            <level>extensive</level>
            <archives>true</archives>
          </scanBehaviour>
          <actions>
            <disinfect>true</disinfect>
            <fileAction>delete</fileAction>
            <destination/>
          </actions>
        </settings>
      </scan>
    </scanSet>
  </onDemandScan>
  <alerting>
    <desktop>
      <report>
        <virus>true</virus>
        <scanErrors>false</scanErrors>
        <DEXErrors>true</DEXErrors>
      </report>
      <message>A virus was found on ${COMPUTER}. Please call the help desk.</message>
    </desktop>
    <smtp>
      <smtpConfig>
        <server>mail.corp.example</server>
        <sender>antivirus@corp.example</sender>
        <replyTo>helpdesk@corp.example</replyTo>
        <language>english</language>
      </smtpConfig>
      <report>
        <virus>true</virus>
        <scanErrors>false</scanErrors>
        <DEXErrors>false</DEXErrors>
      </report>
      <subjectLine>Virus alert from ${COMPUTER}</subjectLine>
      <recipientSet>
        <recipient>security@corp.example</recipient>
      </recipientSet>
    </smtp>
  </alerting>
</config>
)";

// One platform element, filled in for each of the four platforms.
const char AU_PLATFORM[] = R"(  <AUConfig platform="${PLATFORM}" version="1">
    <corvex_address address="http://update.corvex.example/KT/AutoUpdate"/>
    <primary_location>
      <server BandwidthLimit="0" AutoDial="false" UserPassword="" UserName="" UseCorvex="false" ConnectionAddress="http://updates.corp.example:8080/corvex/kt" AllowLocalConfig="false"/>
      <proxy ProxyType="0" ProxyUserPassword="" ProxyUserName="" ProxyPortNumber="8080" ProxyAddress="" AllowLocalConfig="false"/>
    </primary_location>
    <secondary_location>
      <server BandwidthLimit="0" AutoDial="false" UserPassword="" UserName="" UseCorvex="true" ConnectionAddress="" AllowLocalConfig="false"/>
      <proxy ProxyType="0" ProxyUserPassword="" ProxyUserName="" ProxyPortNumber="8080" ProxyAddress="" AllowLocalConfig="false"/>
    </secondary_location>
    <schedule AllowLocalConfig="false" SchedEnable="true" Frequency="60" DetectDialUp="false"/>
    <logging AllowLocalConfig="false" LogLevel="50" LogEnable="true" LogFileName="AutoUpdate.log" LogFilePath="C:\ProgramData\Corvex\Logs" MaxLogFileSize="1"/>
    <bootstrap Location="" UsePrimaryServerAddress="true"/>
  </AUConfig>
)";

const char TZLIB_STATUS[] = R"(<?xml version="1.0" encoding="utf-8"?>
<tzlib xmlns="http://schemas.corvex.example/TzLibraryStatus" entity="http://schemas.corvex.example/TzLibraryStatus.xsd">
  <updateLocationList>
    <loc latest="true" version="4.87" productID="DEXKTNT"><path>\\${COMPUTER}\TzLib\DEXKTNT\latest</path></loc>
    <loc latest="true" version="4.87" productID="DEXKTXP"><path>\\${COMPUTER}\TzLib\DEXKTXP\latest</path></loc>
  </updateLocationList>
  <packageList>
    <package productID="DEXKTNT" productVersion="4.87" engineVersion="3.17.0" virusdataVersion="2024.05.02.001" ideChecksum="4C1D07A9" rolloutNumber="1210"/>
    <package productID="DEXKTXP" productVersion="4.87" engineVersion="3.17.0" virusdataVersion="2024.05.02.001" ideChecksum="4C1D07A9" rolloutNumber="1210"/>
  </packageList>
</tzlib>
)";

const char EVENT_VIRUS[] = R"(<?xml version="1.0" encoding="utf-8"?>
<event xmlns="http://schemas.corvex.example/KT/KTDexEvent" type="corvex.mgt.dex.virusDetectedEvent">
  <timestamp>${TIMESTAMP}</timestamp>
  <user>
    <userId>${USER}</userId>
    <domain>${DOMAIN}</domain>
  </user>
  <infectionInfo>
    <virusType>identity</virusType>
    <virusName>${VIRUS}</virusName>
    <item>${ITEM}</item>
    <scanType>onaccess</scanType>
    <actionTaken>move</actionTaken>
  </infectionInfo>
</event>
)";

const char EVENT_SCAN[] = R"(<?xml version="1.0" encoding="utf-8"?>
<event xmlns="http://schemas.corvex.example/KT/KTDexEvent" type="corvex.mgt.dex.scanCompleteEvent">
  <timestamp>${TIMESTAMP}</timestamp>
  <user>
    <userId>SYSTEM</userId>
    <domain>NT AUTHORITY</domain>
  </user>
  <scanComplete>
    <scanName>Weekly full scan</scanName>
  </scanComplete>
</event>
)";

const char EVENT_ERROR[] = R"(<?xml version="1.0" encoding="utf-8"?>
<event xmlns="http://schemas.corvex.example/KT/KTDexEvent" type="corvex.mgt.entityAppEvent">
  <timestamp>${TIMESTAMP}</timestamp>
  <user>
    <userId>SYSTEM</userId>
    <domain>NT AUTHORITY</domain>
  </user>
  <appInfo>
    <number>2201</number>
    <message>
      <message_code>VirusDataOutOfDate</message_code>
      <message_inserts>
        <insert>2024.05.02.001</insert>
        <insert>12</insert>
      </message_inserts>
    </message>
  </appInfo>
  <entityInfo xmlns="http://schemas.corvex.example/EntityInfo">Corvex Anti-Virus scanner service on ${COMPUTER}</entityInfo>
</event>
)";

const char* const VIRUSES[] = {"W32/Kellan.B", "JS/Dropper.Q", "W97M/Marker.A", "Trojan.Agent.GX", "EICAR-Test-File"};
const char* const ITEMS[] = {"C:\\Users\\${USER}\\Downloads\\invoice.pdf.exe", "C:\\Temp\\setup_patch.js",
                             "D:\\Shared\\Reports\\Q2.doc", "C:\\Windows\\Temp\\svch0st.exe", "E:\\eicar.com"};

std::string Replace(std::string text, const std::string& key, const std::string& value)
{
  const std::string marker = "${" + key + "}";
  for (auto at = text.find(marker); at != std::string::npos; at = text.find(marker, at + value.size()))
    text.replace(at, marker.size(), value);
  return text;
}

std::string AllPlatforms()
{
  std::string text = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                     "<AUConfigurations xmlns=\"http://schemas.corvex.example/KT/AUConfig\">\n";
  for (const char* platform : {"Tandem", "MacOSX", "DEX95", "DEXNT"})
    text += Replace(AU_PLATFORM, "PLATFORM", platform);
  return text + "</AUConfigurations>\n";
}

const char* const DOCUMENTS[][2] = {
  {"dex-status", "dex-status.xml"},   {"dex-config", "dex-config.xml"},   {"alc-config", "alc-config.xml"},
  {"tzlib-status", "tzlib-status.xml"}, {"event-virus", "event-virus.xml"}, {"event-scan", "event-scan.xml"},
  {"event-error", "event-error.xml"},
};

}  // namespace

std::string EventTimestamp(std::time_t when)
{
  std::tm tm{};
  gmtime_r(&when, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d %H%M%S", &tm);
  return text;
}

SampleDocuments::SampleDocuments()
{
  m_texts = {{"dex-status", DEX_STATUS},   {"dex-config", DEX_CONFIG},   {"alc-config", AllPlatforms()},
             {"tzlib-status", TZLIB_STATUS}, {"event-virus", EVENT_VIRUS}, {"event-scan", EVENT_SCAN},
             {"event-error", EVENT_ERROR}};
}

SampleDocuments::SampleDocuments(const std::filesystem::path& directory) : SampleDocuments()
{
  if (!std::filesystem::is_directory(directory))
    throw std::runtime_error("not a directory: " + directory.string());
  int found = 0;
  for (const auto& [name, file] : DOCUMENTS) {
    std::ifstream in(directory / file, std::ios::binary);
    if (!in)
      continue;
    std::ostringstream text;
    text << in.rdbuf();
    m_texts[name] = text.str();
    ++found;
  }
  if (found == 0)
    throw std::runtime_error("no agent documents in " + directory.string());
}

const char* SampleDocuments::FileName(const std::string& document)
{
  for (const auto& [name, file] : DOCUMENTS)
    if (document == name)
      return file;
  return nullptr;
}

std::string SampleDocuments::Fill(const std::string& name, const Computer& computer, std::time_t when,
                                  unsigned serial) const
{
  std::string text = m_texts.at(name);
  const std::size_t pick = serial % (sizeof VIRUSES / sizeof VIRUSES[0]);
  text = Replace(text, "VIRUS", VIRUSES[pick]);
  text = Replace(text, "ITEM", ITEMS[pick]);
  text = Replace(text, "COMPUTER", computer.name);
  text = Replace(text, "DOMAIN", ToUtf8(computer.domain));
  text = Replace(text, "USER", ToUtf8(computer.user));
  return Replace(text, "TIMESTAMP", EventTimestamp(when));
}

std::string SampleDocuments::DexStatus(const Computer& computer) const
{
  return Fill("dex-status", computer, std::time(nullptr), 0);
}

std::string SampleDocuments::DexConfiguration(const Computer& computer) const
{
  return Fill("dex-config", computer, std::time(nullptr), 0);
}

std::string SampleDocuments::AlcConfiguration(const Computer& computer) const
{
  return Fill("alc-config", computer, std::time(nullptr), 0);
}

std::string SampleDocuments::TzLibStatus(const Computer& computer) const
{
  return Fill("tzlib-status", computer, std::time(nullptr), 0);
}

std::string SampleDocuments::Event(EventKind kind, const Computer& computer, std::time_t when, unsigned serial) const
{
  const char* name = kind == EventKind::VirusFound ? "event-virus"
                     : kind == EventKind::ScanComplete ? "event-scan"
                                                       : "event-error";
  return Fill(name, computer, when, serial);
}

std::string MergeUpdateConfiguration(const std::string& held, const std::string& received, bool& applied)
{
  applied = false;
  if (received.find("<AUConfigurations") != std::string::npos) {
    applied = true;
    return received;
  }
  static const std::regex platformElement(R"(<AUConfig\b[^>]*\bplatform\s*=\s*["']([^"']+)["'])");
  std::smatch match;
  if (!std::regex_search(received, match, platformElement))
    return held;
  const std::string platform = match[1];
  if (platform.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_") != std::string::npos)
    return held;
  const auto begin = static_cast<std::size_t>(match.position(0));
  const auto end = received.find("</AUConfig>", begin);
  if (end == std::string::npos)
    return held;
  const std::string element = received.substr(begin, end + 11 - begin);

  const std::regex heldElement("<AUConfig\\b[^>]*\\bplatform\\s*=\\s*[\"']" + platform + "[\"']");
  std::smatch at;
  if (!std::regex_search(held, at, heldElement))
    return held;
  const auto heldBegin = static_cast<std::size_t>(at.position(0));
  const auto heldEnd = held.find("</AUConfig>", heldBegin);
  if (heldEnd == std::string::npos)
    return held;
  applied = true;
  return held.substr(0, heldBegin) + element + held.substr(heldEnd + 11);
}

}  // namespace agentsim
