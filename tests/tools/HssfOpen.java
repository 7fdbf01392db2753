// Opens each .xls file with Apache POI's HSSF reader and reads every cell of every sheet (value as
// text, number format, style), as a strict reader of BIFF8 would. Prints one line per file and
// exits with 1 when any file could not be read.
//
//     javac -cp /usr/share/java/poi.jar -d OUT HssfOpen.java
//     java -cp OUT:/usr/share/java/poi.jar:... HssfOpen FILE...
import java.io.FileInputStream;
import java.io.InputStream;
import org.apache.poi.hssf.usermodel.HSSFWorkbook;
import org.apache.poi.ss.usermodel.Cell;
import org.apache.poi.ss.usermodel.DataFormatter;
import org.apache.poi.ss.usermodel.Row;
import org.apache.poi.ss.usermodel.Sheet;

public class HssfOpen {
    public static void main(String[] args) {
        DataFormatter formatter = new DataFormatter();
        int failed = 0;
        for (String path : args) {
            try (InputStream in = new FileInputStream(path); HSSFWorkbook book = new HSSFWorkbook(in)) {
                long cells = 0;
                for (Sheet sheet : book) {
                    for (Row row : sheet) {
                        for (Cell cell : row) {
                            formatter.formatCellValue(cell);
                            cell.getCellStyle().getDataFormatString();
                            ++cells;
                        }
                    }
                }
                System.out.println("ok\t" + path + "\t" + book.getNumberOfSheets() + " sheets, " + cells + " cells");
            } catch (Exception | Error e) {
                ++failed;
                System.out.println("FAIL\t" + path + "\t" + e);
            }
        }
        System.exit(failed == 0 ? 0 : 1);
    }
}
