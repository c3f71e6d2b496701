-- What quorvel-launcher.wxi needs and wixl 0.101 cannot write, applied to
-- the built package with msibuild (build_msi in scripts/lib.sh). One
-- statement a line; "--" lines are comments. build_msi adds the launcher's
-- file version, read from the executable's version record.
--
-- ActiveVersion: written only when ACTIVEVERSION is given, and never
-- registered (null ComponentId), so repair, upgrade and uninstall leave the
-- value as the client's own updater left it.
UPDATE `Component` SET `ComponentId` = '', `Condition` = 'ACTIVEVERSION AND ACTIVEVERSION <> "\keep"' WHERE `Component` = 'QuorvelActiveVersion'
-- The start components: transitive (msidbComponentAttributesTransitive,
-- 64, plus 64-bit, 256), so a repair or an upgrade evaluates the condition
-- again and starts the service that StopServices stopped to replace the
-- launcher. Unless START=0, the waiting one when the client the launcher
-- will run is in place (CCPSearch below), or when that version is
-- undecided and START=1 asks for a started service; else, undecided, the
-- one that does not wait.
UPDATE `Component` SET `Attributes` = 320, `Condition` = 'NOT START="0" AND (CCP_Success OR (QUORVEL_VERSION_UNDECIDED AND START="1"))' WHERE `Component` = 'QuorvelServiceStart'
UPDATE `Component` SET `Attributes` = 320, `Condition` = 'QUORVEL_VERSION_UNDECIDED AND NOT START="0" AND NOT START="1"' WHERE `Component` = 'QuorvelServiceStartUndecided'
-- The client folders are permanent (msidbComponentAttributesPermanent).
UPDATE `Component` SET `Attributes` = 272 WHERE `Component` = 'QuorvelClientFolder'
-- ServiceInstall's ErrorControl: normal (1) with
-- msidbServiceInstallErrorControlVital (32768).
UPDATE `ServiceInstall` SET `ErrorControl` = 32769 WHERE `ServiceInstall` = 'QuorvelService'
-- wixl sets msidbCustomActionTypeNoImpersonate (2048) on immediate actions,
-- where it has no meaning (ICE68): type 51 alone.
UPDATE `CustomAction` SET `Type` = 51 WHERE `Type` = 2099
-- The public properties pass from the client to the server side of a
-- managed installation.
UPDATE `Property` SET `Value` = 'ACTIVEVERSION;INSTALL_DIR;RECOVERY;START;WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED' WHERE `Property` = 'SecureCustomProperties'
-- The event log source: EventMessageFile is REG_EXPAND_SZ (wixl drops the
-- "#%" that says so), and the key, with anything in it, goes on uninstall.
UPDATE `Registry` SET `Value` = '#%[#QuorvelLauncherExe]' WHERE `Name` = 'EventMessageFile'
INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Component_`) VALUES ('QuorvelEventSource', 2, 'SYSTEM\CurrentControlSet\Services\EventLog\Application\quorvel-client', '-', 'QuorvelLauncher')
--
-- C:\ProgramData\Quorvel, service and bin: SYSTEM and Administrators full
-- control, Users read and execute, nothing inherited from C:\ProgramData.
INSERT INTO `CreateFolder` (`Directory_`, `Component_`) VALUES ('QUORVELDATADIR', 'QuorvelClientFolder')
INSERT INTO `CreateFolder` (`Directory_`, `Component_`) VALUES ('QUORVELSERVICEDIR', 'QuorvelClientFolder')
CREATE TABLE `MsiLockPermissionsEx` (`MsiLockPermissionsEx` CHAR(72) NOT NULL, `LockObject` CHAR(72) NOT NULL, `Table` CHAR(32) NOT NULL, `SDDLText` CHAR(0) NOT NULL, `Condition` CHAR(255) PRIMARY KEY `MsiLockPermissionsEx`)
INSERT INTO `MsiLockPermissionsEx` (`MsiLockPermissionsEx`, `LockObject`, `Table`, `SDDLText`) VALUES ('QuorvelLockData', 'QUORVELDATADIR', 'CreateFolder', 'D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)')
INSERT INTO `MsiLockPermissionsEx` (`MsiLockPermissionsEx`, `LockObject`, `Table`, `SDDLText`) VALUES ('QuorvelLockService', 'QUORVELSERVICEDIR', 'CreateFolder', 'D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)')
INSERT INTO `MsiLockPermissionsEx` (`MsiLockPermissionsEx`, `LockObject`, `Table`, `SDDLText`) VALUES ('QuorvelLockBin', 'QUORVELBINDIR', 'CreateFolder', 'D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)')
--
-- A major upgrade installs the new version first, then removes the old one
-- in the same transaction (a failed upgrade rolls back to the old version
-- and its service): RemoveExistingProducts right after InstallExecute. The
-- old version's removal finds its components still used by the new one
-- and leaves them, so its ServiceControl row does not delete the service.
-- RegisterProduct, PublishFeatures and PublishProduct stay after it, where
-- Windows allows them: Wine's msiexec, removing the old product's upgrade
-- code, deletes the new product's with it when they come before (Windows
-- does not need this order).
INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('InstallExecute', 6010)
UPDATE `InstallExecuteSequence` SET `Sequence` = 6020 WHERE `Action` = 'RemoveExistingProducts'
--
-- The client the launcher would run: CCPSearch runs after QuorvelClientDir
-- (54) has composed its folder, and sets CCP_Success when it finds the
-- file. START=1 requires it; without START=0 it decides the start. Not for
-- an undecided version: the folder would not be the launcher's.
CREATE TABLE `DrLocator` (`Signature_` CHAR(72) NOT NULL, `Parent` CHAR(72), `Path` CHAR(255), `Depth` INT PRIMARY KEY `Signature_`, `Parent`, `Path`)
CREATE TABLE `CCPSearch` (`Signature_` CHAR(72) NOT NULL PRIMARY KEY `Signature_`)
INSERT INTO `Signature` (`Signature`, `FileName`) VALUES ('QuorvelClientFile', 'quorvel_client.exe')
INSERT INTO `DrLocator` (`Signature_`, `Path`, `Depth`) VALUES ('QuorvelClientFile', '[QUORVEL_CLIENT_DIR]', 0)
INSERT INTO `CCPSearch` (`Signature_`) VALUES ('QuorvelClientFile')
INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('CCPSearch', 'NOT START="0" AND NOT QUORVEL_VERSION_UNDECIDED', 55)
--
-- Bad input is refused before anything changes (type 19: the message
-- ends the installation). The launcher's own rule covers an ActiveVersion
-- over 15 characters (it counts as absent): a condition cannot measure a
-- length, and a script custom action is what this package must not have.
INSERT INTO `CustomAction` (`Action`, `Type`, `Target`) VALUES ('QuorvelVersionEmpty', 19, 'ACTIVEVERSION is empty. Give the version of the client to run (ACTIVEVERSION=3 for bin\v3), or leave ACTIVEVERSION out to keep the value in place.')
INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('QuorvelVersionEmpty', 'NOT ACTIVEVERSION AND NOT REMOVE~="ALL"', 101)
INSERT INTO `CustomAction` (`Action`, `Type`, `Target`) VALUES ('QuorvelVersionPath', 19, 'ACTIVEVERSION=[ACTIVEVERSION] holds a path separator. Give the version only (ACTIVEVERSION=3 for bin\v3).')
INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('QuorvelVersionPath', 'ACTIVEVERSION <> "\keep" AND (ACTIVEVERSION >< "\" OR ACTIVEVERSION >< "/") AND NOT REMOVE~="ALL"', 102)
-- The Registry table would write such a value as a number, binary data, an
-- expandable string or a list: the launcher would not run the version given.
INSERT INTO `CustomAction` (`Action`, `Type`, `Target`) VALUES ('QuorvelVersionType', 19, 'ACTIVEVERSION=[ACTIVEVERSION] begins with # or holds [\[]~[\]], which Windows Installer writes as another type than a string. Give the version only (ACTIVEVERSION=3 for bin\v3).')
INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('QuorvelVersionType', 'ACTIVEVERSION <> "\keep" AND (ACTIVEVERSION << "#" OR ACTIVEVERSION >< "[~]") AND NOT REMOVE~="ALL"', 103)
INSERT INTO `CustomAction` (`Action`, `Type`, `Target`) VALUES ('QuorvelClientMissing', 19, 'START=1, but the client [QUORVEL_CLIENT_DIR]quorvel_client.exe is not there. Install the client first, or install without START=1 and start the service once the client is in place.')
INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('QuorvelClientMissing', 'START="1" AND NOT CCP_Success AND NOT QUORVEL_VERSION_UNDECIDED AND NOT REMOVE~="ALL"', 104)
-- A service of this name that this package did not create (registered by
-- hand or by another installer) is refused on a first install, before
-- anything changes: the package would otherwise take it over, reconfigure
-- it and delete it on uninstall. An upgrade or a repair of this package
-- keeps its own.
INSERT INTO `CustomAction` (`Action`, `Type`, `Target`) VALUES ('QuorvelServiceExists', 19, 'A service named quorvel-client is already registered, and not by this package; it is left as it is. To have the package manage the service, note its settings (sc.exe qc quorvel-client), delete it (sc.exe delete quorvel-client) and install again.')
INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('QuorvelServiceExists', 'QUORVEL_SERVICE_FOUND AND NOT Installed AND NOT WIX_UPGRADE_DETECTED', 105)
-- Install_Dir is written only when the launcher component is installed or
-- reinstalled: a run on the installed product that only sets INSTALL_DIR
-- would change nothing.
INSERT INTO `CustomAction` (`Action`, `Type`, `Target`) VALUES ('QuorvelInstallDirUnused', 19, 'INSTALL_DIR is written by an install, a repair or an upgrade. To change Install_Dir of the installed launcher, repair it with the new folder: msiexec /i <package> REINSTALL=ALL REINSTALLMODE=omus INSTALL_DIR=<folder>')
INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('QuorvelInstallDirUnused', 'INSTALL_DIR AND Installed AND NOT REINSTALL AND NOT REMOVE', 106)
