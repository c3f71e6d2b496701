-- What quorvel-launcher.wxi needs and wixl 0.101 cannot write, applied to
-- the built package with msibuild (build_msi in scripts/lib.sh). One
-- statement a line; "--" lines are comments.
--
-- ActiveVersion: written only when ACTIVEVERSION is given, and never
-- registered (null ComponentId), so repair, upgrade and uninstall leave the
-- value as the client's own updater left it.
UPDATE `Component` SET `ComponentId` = '', `Condition` = 'ACTIVEVERSION AND ACTIVEVERSION <> "\keep"' WHERE `Component` = 'QuorvelActiveVersion'
UPDATE `Component` SET `Condition` = 'START="1"' WHERE `Component` = 'QuorvelServiceStart'
-- The client folders are permanent (msidbComponentAttributesPermanent).
UPDATE `Component` SET `Attributes` = 272 WHERE `Component` = 'QuorvelClientFolder'
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
-- The old version goes inside this installation's transaction, after
-- InstallInitialize: a failed upgrade rolls back to the old version.
UPDATE `InstallExecuteSequence` SET `Sequence` = 1510 WHERE `Action` = 'RemoveExistingProducts'
--
-- START=1: the client the service would run must be there. CCPSearch runs
-- after QuorvelClientDir (53) has composed its folder, and sets
-- CCP_Success when it finds the file.
CREATE TABLE `DrLocator` (`Signature_` CHAR(72) NOT NULL, `Parent` CHAR(72), `Path` CHAR(255), `Depth` INT PRIMARY KEY `Signature_`, `Parent`, `Path`)
CREATE TABLE `CCPSearch` (`Signature_` CHAR(72) NOT NULL PRIMARY KEY `Signature_`)
INSERT INTO `Signature` (`Signature`, `FileName`) VALUES ('QuorvelClientFile', 'quorvel_client.exe')
INSERT INTO `DrLocator` (`Signature_`, `Path`, `Depth`) VALUES ('QuorvelClientFile', '[QUORVEL_CLIENT_DIR]', 0)
INSERT INTO `CCPSearch` (`Signature_`) VALUES ('QuorvelClientFile')
INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('CCPSearch', 'START="1"', 54)
--
-- Bad input is refused before anything changes (type 19: the message
-- ends the installation). A condition cannot measure a length: a
-- one-line JScript (type 37) marks an ACTIVEVERSION over 15 characters.
INSERT INTO `CustomAction` (`Action`, `Type`, `Target`) VALUES ('QuorvelMeasureVersion', 37, 'if (Session.Property("ACTIVEVERSION").length > 15) Session.Property("QUORVEL_VERSION_TOO_LONG") = "1";')
INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('QuorvelMeasureVersion', 'ACTIVEVERSION <> "\keep"', 55)
INSERT INTO `CustomAction` (`Action`, `Type`, `Target`) VALUES ('QuorvelVersionEmpty', 19, 'ACTIVEVERSION is empty. Give the version of the client to run (ACTIVEVERSION=3 for bin\v3), or leave ACTIVEVERSION out to keep the value in place.')
INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('QuorvelVersionEmpty', 'NOT ACTIVEVERSION AND NOT REMOVE~="ALL"', 101)
INSERT INTO `CustomAction` (`Action`, `Type`, `Target`) VALUES ('QuorvelVersionPath', 19, 'ACTIVEVERSION=[ACTIVEVERSION] holds a path separator. Give the version only (ACTIVEVERSION=3 for bin\v3).')
INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('QuorvelVersionPath', 'ACTIVEVERSION <> "\keep" AND (ACTIVEVERSION >< "\" OR ACTIVEVERSION >< "/") AND NOT REMOVE~="ALL"', 102)
INSERT INTO `CustomAction` (`Action`, `Type`, `Target`) VALUES ('QuorvelVersionLong', 19, 'ACTIVEVERSION=[ACTIVEVERSION] is longer than 15 characters, which the launcher ignores. Give a version of at most 15 characters.')
INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('QuorvelVersionLong', 'QUORVEL_VERSION_TOO_LONG AND NOT REMOVE~="ALL"', 103)
INSERT INTO `CustomAction` (`Action`, `Type`, `Target`) VALUES ('QuorvelClientMissing', 19, 'START=1, but the client [QUORVEL_CLIENT_DIR]quorvel_client.exe is not there. Install the client first, or install without START=1 and start the service once the client is in place.')
INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('QuorvelClientMissing', 'START="1" AND NOT CCP_Success AND NOT REMOVE~="ALL"', 104)
--
-- wixl 0.101 leaves out the in-script and rollback bits of Execute="rollback".
UPDATE `CustomAction` SET `Type` = 3442 WHERE `Action` = 'QuorvelServiceCreateUndo' OR `Action` = 'QuorvelServiceDeleteUndo'
