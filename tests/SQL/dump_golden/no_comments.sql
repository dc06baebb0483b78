
SET NAMES utf8;
/*!50503 SET NAMES utf8mb4 */;
/*!40101 SET SESSION sql_mode='NO_AUTO_VALUE_ON_ZERO' */;
/*!50002 SET SESSION sql_mode='NO_AUTO_VALUE_ON_ZERO,STRICT_ALL_TABLES' */;
/*!50008 SET SESSION sql_mode='NO_AUTO_VALUE_ON_ZERO,STRICT_ALL_TABLES,NO_ENGINE_SUBSTITUTION' */;
/*!40014 SET FOREIGN_KEY_CHECKS = 0 */;
DROP TABLE IF EXISTS `customer` CASCADE;
CREATE TABLE `customer` (
  `id` INT NOT NULL AUTO_INCREMENT,
  `name` VARCHAR(40) CHARACTER SET utf8 NOT NULL,
  `note` LONGTEXT CHARACTER SET utf8,
  `created` DATETIME/*!50604 (3) */ /*!50605 DEFAULT CURRENT_TIMESTAMP(3) */,
  `birthday` DATE,
  PRIMARY KEY (`id`),
  INDEX `ix_name` (`name`)
) ENGINE=InnoDB;
/*!50503 ALTER TABLE `customer` CONVERT TO CHARACTER SET utf8mb4 */;
LOCK TABLES `customer` WRITE;
INSERT INTO `customer`(`id`, `name`, `note`, `created`, `birthday`) 
VALUES (1, 'O\'Brien \\ x', NULL, '2020-01-02 03:04:05.123000', '1960-05-06');
INSERT INTO `customer`(`id`, `name`, `note`, `created`, `birthday`) 
VALUES (2, 'Zoë 😀', 'line
break', '1969-12-31 23:59:59.500000', NULL);
UNLOCK TABLES;
DROP TABLE IF EXISTS `orders` CASCADE;
CREATE TABLE `orders` (
  `id` INT NOT NULL,
  `customer_id` INT,
  `amount` DECIMAL(19,4),
  PRIMARY KEY (`id`)
) ENGINE=InnoDB;
/*!50503 ALTER TABLE `orders` CONVERT TO CHARACTER SET utf8mb4 */;
LOCK TABLES `orders` WRITE;
INSERT INTO `orders`(`id`, `customer_id`, `amount`) 
VALUES (10, 1, 12.5);
UNLOCK TABLES;

SET FOREIGN_KEY_CHECKS = 0;
LOCK TABLES `orders` WRITE;
ALTER TABLE `orders` ADD INDEX (`customer_id`);
LOCK TABLES `orders` WRITE, `customer` WRITE;
ALTER TABLE `orders` ADD CONSTRAINT `fk_orders_customer` FOREIGN KEY(`customer_id`) REFERENCES `customer`(`id`)  ON DELETE CASCADE;
SET FOREIGN_KEY_CHECKS = 1;
UNLOCK TABLES;
CREATE OR REPLACE SQL SECURITY INVOKER VIEW `v_customer` AS SELECT `name` FROM `customer` WHERE ifnull(note, 'x') = 'x';
# Script complete
